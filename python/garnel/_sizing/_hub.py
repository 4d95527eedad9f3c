"""Models on the Hugging Face Hub, through `huggingface_hub` (the extra `garnel[hf]`).

A repo id is looked up in the local cache; with `remote=True` its safetensors
headers and config.json are fetched instead, never its weights.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

from .._errors import MissingExtra, SizingError
from ._safetensors import check_tensors

REPO_ID = re.compile(r"^[A-Za-z0-9][\w.-]*/[\w.-]+$")


def looks_like_repo_id(text: str) -> bool:
    return REPO_ID.match(text) is not None and ".." not in text


def _hub() -> Any:
    try:
        import huggingface_hub
    except ImportError:
        raise MissingExtra(
            "models on the Hugging Face Hub need huggingface_hub: pip install 'garnel[hf]'"
        ) from None
    return huggingface_hub


def _hub_errors(hub: Any) -> tuple[type[BaseException], ...]:
    """What the hub client raises for a repo it cannot find or reach."""
    errors: list[type[BaseException]] = [OSError, ValueError]
    module = getattr(hub, "errors", None)
    # HTTPError is the HTTP library's own, which the errors module imports:
    # a connection that fails raises it, not OSError.
    for name in (
        "EntryNotFoundError",
        "NotASafetensorsRepoError",
        "SafetensorsParsingError",
        "HTTPError",
    ):
        kind = getattr(module, name, None)
        if isinstance(kind, type) and issubclass(kind, BaseException):
            errors.append(kind)
    return tuple(errors)


def cached_folder(repo_id: str) -> str:
    """The snapshot folder of `repo_id` in the local Hugging Face cache."""
    hub = _hub()
    try:
        folder = hub.snapshot_download(repo_id, local_files_only=True)
    except _hub_errors(hub):
        raise SizingError(
            f"{repo_id}: no such file or folder, and not in the local Hugging Face cache "
            "(download it, or size it from the Hub with --remote)"
        ) from None
    return str(folder)


@dataclass(frozen=True)
class RemoteWeights:
    files: tuple[tuple[str, int], ...]
    by_dtype: dict[str, int]
    tensor_count: int
    total_size: int | None
    config_path: str | None
    config_problem: str | None


def remote_weights(repo_id: str) -> RemoteWeights:
    """The tensors' bytes from the repo's safetensors headers, and its config.json."""
    hub = _hub()
    try:
        metadata = hub.HfApi().get_safetensors_metadata(repo_id)
    except _hub_errors(hub) as error:
        raise SizingError(
            f"{repo_id}: cannot read its safetensors headers on the Hub ({error})"
        ) from None
    files: list[tuple[str, int]] = []
    by_dtype: dict[str, int] = {}
    count = 0
    for filename in sorted(metadata.files_metadata):
        tensors = metadata.files_metadata[filename].tensors
        header = {
            name: {
                "dtype": info.dtype,
                "shape": list(info.shape),
                "data_offsets": list(info.data_offsets),
            }
            for name, info in tensors.items()
        }
        checked = check_tensors(f"{repo_id}/{filename}", header)
        files.append((f"{repo_id}/{filename}", checked.data_bytes))
        count += checked.tensor_count
        for dtype, nbytes in checked.by_dtype.items():
            by_dtype[dtype] = by_dtype.get(dtype, 0) + nbytes
    index = metadata.metadata if isinstance(metadata.metadata, dict) else {}
    total = index.get("total_size")
    try:
        config_path: str | None = str(hub.hf_hub_download(repo_id, "config.json"))
        problem = None
    except _hub_errors(hub) as error:  # a repo without config.json still has weights to size
        config_path = None
        problem = f"{repo_id}: cannot size the cache: no config.json on the Hub ({error})"
    return RemoteWeights(
        tuple(files),
        by_dtype,
        count,
        total if isinstance(total, int) else None,
        config_path,
        problem,
    )
