"""size: the output size the image-generation service accepts for a ratio."""

from __future__ import annotations

import argparse
import json
import math
import sys

from vantry.cli.common import UsageError, describe, epilog

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def _clamped_to(calculator: Any, ratio: str) -> str | None:
    """The ratio calc_size works with when it clamps `ratio` (a text it accepted), else None."""
    if not ratio or ratio.lower() == "auto":
        return None
    width, height = (int(term) for term in ratio.split(":"))
    long_side, short_side = max(width, height), min(width, height)
    if long_side / short_side <= calculator.MAX_RATIO:
        return None
    stretched = int(calculator.MAX_RATIO * short_side)
    terms = (stretched, short_side) if width >= height else (short_side, stretched)
    common = math.gcd(*terms)
    return f"{terms[0] // common}:{terms[1] // common}"


def cmd_size(args: argparse.Namespace) -> int:
    from vantry.excode import ServiceError
    from vantry.gridlum import GridlumSizeCalculator

    levels = list(GridlumSizeCalculator.RESOLUTION_PRESET)
    if args.resolution.lower() not in levels:
        # The module gives any other level the 2k budget; asking for 8k and getting 2k helps nobody.
        raise UsageError(f"--resolution {args.resolution!r}: expected one of {', '.join(levels)}")
    try:
        result = GridlumSizeCalculator.calc_size(args.ratio, args.resolution, args.strict)
    except ServiceError as exc:
        raise UsageError(f"ratio {args.ratio}: {describe(exc)}; beyond 3:1 only without --strict") from None
    except (ValueError, ZeroDivisionError):
        raise UsageError(f"bad ratio {args.ratio!r}, expected W:H such as 16:9 (or auto)") from None
    clamped = _clamped_to(GridlumSizeCalculator, args.ratio)
    if args.json:
        print(json.dumps(result, ensure_ascii=False))
        if clamped:
            print(f"vantry: note: {args.ratio} is wider than the service allows; clamped to {clamped}",
                  file=sys.stderr)
        return 0
    shown = f"{result['aspect_ratio']} clamped to {clamped}" if clamped else result["aspect_ratio"]
    flag = "" if result["valid"] else " (not valid for the service)"
    print(f"{result['size']} ({result['pixels']} pixels, {shown} at {result['resolution']}){flag}")
    return 0


def register(sub: Any, formatter: type[argparse.HelpFormatter]) -> None:
    p = sub.add_parser(
        "size", help="the service output size for an aspect ratio", formatter_class=formatter,
        description="Work out the width and height to request from the image-generation service: longer edge at "
                    "most 3840, both sides multiples of 16, at most 3:1, 655360 to 8294400 pixels. A ratio "
                    "beyond 3:1 is clamped (and the line says so) or, with --strict, refused.",
        epilog=epilog(["vantry size 16:9 --resolution 4k", "vantry size 21:9 --json"],
                      {0: "the size is printed", 2: "bad usage: a bad ratio or level, or beyond 3:1 with --strict"}))
    p.add_argument("ratio", metavar="RATIO", help="W:H such as 16:9, or auto (1:1)")
    p.add_argument("--resolution", default="2k", metavar="LEVEL",
                   help="pixel budget: 1k, 2k or 4k, any letter case (default 2k)")
    p.add_argument("--strict", action="store_true", help="refuse ratios beyond 3:1 instead of clamping them")
    p.add_argument("--json", action="store_true", help="print the size mapping (seven keys) as JSON")
    p.set_defaults(func=cmd_size)
