"""Native acceleration layer of quillbrax.

Importing the package loads no extension module; import each one on its own, for example
``from quillbrax.accel import _pairmetric``.
"""
