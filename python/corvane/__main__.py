"""Command line: ``python -m corvane demo``."""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="corvane", description="Video frames on a text terminal.")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="play the built-in animation")
    demo.add_argument("--seconds", type=float, default=6.0, help="how long to play (default: 6)")
    args = parser.parse_args(argv)

    if args.command == "demo":
        from corvane import demo as demo_module

        return demo_module.run(args.seconds)
    return 2


if __name__ == "__main__":
    sys.exit(main())
