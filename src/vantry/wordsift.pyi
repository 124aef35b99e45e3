import os as os
import pickle as pickle
import re as re
from collections.abc import Sequence
from types import ModuleType

from vantry.excode import PromptBanError as PromptBanError

_AC_THRESHOLD: int
ahocorasick: ModuleType
_HAS_AC: bool

def _xor(data: bytes, key: bytes) -> bytes: ...
def _load_default_words() -> list[str]: ...

class PromptBanChecker:
    ban_word_file: str | None
    ignore_case: bool
    builtin_words: list[str]
    use_default: bool
    exclude_words: list[str]
    banned_words: list[str]
    _ban_regex: re.Pattern[str] | None
    _automaton: object | None
    normalize: bool
    allow_words: list[str] | None
    _BUILTIN_ALLOW_WORDS: tuple[str, ...]
    def __init__(
        self,
        ban_word_file: str | None = None,
        ignore_case: object = True,
        builtin_words: list[str] | None = None,
        use_default: object = True,
        exclude_words: list[str] | None = None,
        *,
        normalize: object = False,
        allow_words: list[str] | None = None,
    ) -> None: ...
    def load_banned_words(self) -> None: ...
    @staticmethod
    def _load_from_file(file_path: str) -> list[str]: ...
    def _build_engine(self) -> None: ...
    def _build_automaton(self) -> object: ...
    def find_matched_words(self, text: str) -> list[str]: ...
    def _has_banned_word(self, text: str) -> bool: ...
    def check(self, prompt: str) -> str: ...
    def check_many(self, prompts: Sequence[str], threads: int | None = None) -> list[bool]: ...
    @staticmethod
    def create_pickle_file(words: list[str], output_path: str) -> None: ...
