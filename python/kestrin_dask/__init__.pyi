"""Type stubs for kestrin_dask: kestrin encodes on a Dask cluster, each in a child process."""

from collections.abc import Iterator, Sequence

from distributed import Client
from kestrin_jobs import EncodeProcessDied as EncodeProcessDied

__all__ = ["EncodeProcessDied", "PROGRESS_LOG_INTERVAL", "encode_all", "transform"]

PROGRESS_LOG_INTERVAL: float

def transform(input: str, output: str, codec: str, res: str, crop: str, flags: str) -> bool:
    """KestEngine.transform in a child Python process; the output appears only on success."""

def encode_all(
    client: Client, tasks: Sequence[tuple[str, str, str, str, str, str]], *, retries: int = 2
) -> Iterator[tuple[int, bool | BaseException]]:
    """Submits one transform per task and yields (position, result) as each ends."""
