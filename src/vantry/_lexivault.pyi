_EK: bytes
_ED: bytes
