"""vantry.excode: constructing and pickling the package's exceptions against
the same classes in plain Python.

    python -m bench.excode_bench
"""

import pickle

from bench.harness import Table
from vantry.excode import PromptBanError, ServiceError


class PlainServiceError(Exception):
    def __init__(self, message, *, aspect_ratio=None):
        super().__init__(message)
        self.message = message
        self.aspect_ratio = aspect_ratio


class PlainPromptBanError(Exception):
    def __init__(self, *, error_msg, data=None):
        super().__init__(error_msg)
        self.error_msg = error_msg
        self.data = data

    def __reduce__(self):
        return _plain_restore, (type(self), {"error_msg": self.error_msg, "data": self.data})


def _plain_restore(cls, kwargs):
    return cls(**kwargs)


def run(table):
    words = ["nude", "违禁"]
    table.compare("ServiceError(message, aspect_ratio=...)", "-", lambda: ServiceError("m", aspect_ratio="10:1"),
                  lambda: PlainServiceError("m", aspect_ratio="10:1"))
    table.compare("PromptBanError(error_msg=..., data=...)", "2 words",
                  lambda: PromptBanError(error_msg="违禁词: nude,违禁", data=words),
                  lambda: PlainPromptBanError(error_msg="违禁词: nude,违禁", data=words))
    ours = PromptBanError(error_msg="违禁词: nude,违禁", data=words)
    plain = PlainPromptBanError(error_msg="违禁词: nude,违禁", data=words)
    table.compare("pickle round trip of PromptBanError", "2 words", lambda: pickle.loads(pickle.dumps(ours)),
                  lambda: pickle.loads(pickle.dumps(plain)))


if __name__ == "__main__":
    table = Table("vantry.excode against the same classes in plain Python")
    run(table)
    table.print()
