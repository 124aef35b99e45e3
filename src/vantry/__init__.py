"""Image normalisation and prompt screening for image-generation pipelines.

Every module is a C++ extension; import the one you need, for example
``from vantry.aspecta import Aspecta``. Importing the package itself loads
none of them.
"""

__version__ = "0.1.0"
