"""quillbrax: a machine-learning package; its native inner loops live in quillbrax.accel."""
