"""Type stubs for kestrin_dask: kestrin encodes on a Dask cluster."""

from collections.abc import Iterator, Sequence

from distributed import Client
from kestrin_jobs import EncodeProcessDied as EncodeProcessDied

__all__ = ["EncodeProcessDied", "PROGRESS_LOG_INTERVAL", "encode_all", "transform"]

PROGRESS_LOG_INTERVAL: float

def transform(
    input: str, output: str, codec: str, res: str, crop: str, flags: str, *, verify: bool = True
) -> bool:
    """The engine's encode without the interpreter lock; the output appears only on success."""

def encode_all(
    client: Client,
    tasks: Sequence[tuple[str, str, str, str, str, str]],
    *,
    retries: int = 2,
    verify: bool = True,
) -> Iterator[tuple[int, bool | BaseException]]:
    """Submits one transform per task and yields (position, result) as each ends."""
