"""`garnel size`: a JSON roster of models sized from their own files."""

from __future__ import annotations

import argparse
import json
import os
import sys
from dataclasses import replace
from typing import TYPE_CHECKING, Callable

from .._model import Model
from .._sizing import CacheType, Engine, ModelShape, explain, inspect, size_shape
from ._common import CommandError, printable, write_answer

if TYPE_CHECKING:
    from ._common import Subparsers

EXAMPLES = """\
examples:
  garnel size models/Meta-Llama-3-8B --context 8192
  garnel size models/*.gguf --cache-type q8_0 --sequences 4 > roster.json
  garnel size meta-llama/Meta-Llama-3-8B --remote --explain
  garnel size models/qwen models/gemma | garnel plan - --card 24GiB
"""


def register(subparsers: Subparsers) -> None:
    """Adds the `size` command to the command line's subparsers."""
    parser = subparsers.add_parser(
        "size",
        help="size models from their own files: a JSON roster on standard output",
        description=(
            "Reads each model's tensor headers and config.json (or GGUF metadata), never its "
            "weights, and writes a JSON roster of exact weight and cache bytes, ready for "
            "'garnel plan -'."
        ),
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a model folder, a .safetensors or .gguf file, or a Hugging Face repo id org/name",
    )
    parser.add_argument(
        "--context",
        type=_count(0),
        metavar="N",
        help="tokens per sequence (default: the model's own longest context; 0: weights only)",
    )
    parser.add_argument(
        "--sequences",
        type=_count(1),
        default=1,
        metavar="N",
        help="sequences served at once, each with the whole context (default: 1)",
    )
    parser.add_argument(
        "--cache-type",
        choices=[t.value for t in CacheType],
        metavar="T",
        help="cache element type: %(choices)s (default: the model's dtype; f16 for GGUF)",
    )
    parser.add_argument(
        "--engine",
        choices=[e.value for e in Engine],
        metavar="E",
        help="whose allocation rules: %(choices)s (default: llama.cpp for GGUF, vllm otherwise)",
    )
    parser.add_argument(
        "--no-chunked-cap",
        dest="chunked_cap",
        action="store_false",
        help="count chunked attention layers whole under vllm, as vLLM does with "
        "VLLM_ALLOW_CHUNKED_LOCAL_ATTN_WITH_HYBRID_KV_CACHE=0 (default: capped, its default 1)",
    )
    parser.add_argument("--name", help="the roster name (one PATH only; default: its file name)")
    parser.add_argument(
        "--explain",
        action="store_true",
        help="write how each figure was reached on standard error",
    )
    parser.add_argument(
        "--remote",
        action="store_true",
        help="read a repo id's headers and config.json from the Hub, not the local cache",
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Sizes every PATH and prints the roster; a bad input raises for the caller to report."""
    if args.name is not None and len(args.paths) != 1:
        raise CommandError("--name needs exactly one PATH")
    entries = []
    path_of: dict[str, str] = {}
    for path in args.paths:
        shape = inspect(path, remote=args.remote)
        options = (args.context, args.sequences, args.cache_type, args.engine)
        model = size_shape(shape, *options, args.name, chunked_cap=args.chunked_cap)
        # A roster of two models of one name is no roster: the fleet would
        # only ever load and route the first.
        if model.name in path_of:
            raise CommandError(
                f"{path_of[model.name]} and {path} are both named {model.name!r}: "
                "size them one at a time, each with --name"
            )
        path_of[model.name] = path
        # print(file=None) would write to standard output, into the roster.
        if args.explain and sys.stderr is not None:
            shown = _for_a_terminal(shape, model)
            text = explain(*shown, *options, chunked_cap=args.chunked_cap)
            sys.stderr.write(text + "\n")
        entries.append(model.entry())
    # One entry a line, as roster files are written by hand.
    write_answer("[\n  " + ",\n  ".join(json.dumps(entry) for entry in entries) + "\n]\n")
    return 0


def _for_a_terminal(shape: ModelShape, model: Model) -> tuple[ModelShape, Model]:
    """The shape and model with every text the explanation quotes escaped, so
    that its line feeds are only its own. The figures are left as they are."""
    shown = replace(
        shape,
        source=printable(shape.source),
        files=tuple((printable(os.path.basename(file)), n) for file, n in shape.files),
        weights_by_dtype=tuple((printable(dtype), n) for dtype, n in shape.weights_by_dtype),
        architecture=None if shape.architecture is None else printable(shape.architecture),
    )
    return shown, replace(model, name=printable(model.name))


def _count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}: {text!r}")
        return value

    return parse
