"""Type stubs for kestrin, a video-processing engine that drives ffmpeg and ffprobe."""

from collections.abc import Sequence
from typing import final

__all__ = ["KestEngine", "VideoMetadata"]

@final
class VideoMetadata:
    """Facts of one probe; read-only, made only by KestEngine.probe.

    The film's video stream is the first one that is not a cover picture (disposition
    attached_pic); a file whose only video is its cover is described by that picture.
    """

    @property
    def filename(self) -> str:
        """The file name as ffprobe reports it ("unknown" when absent)."""
    @property
    def width(self) -> int:
        """Picture width of the film's video stream in pixels (0 when absent)."""
    @property
    def height(self) -> int:
        """Picture height of the film's video stream in pixels (0 when absent)."""
    @property
    def codec(self) -> str:
        """Codec name of the film's video stream ("unknown" when absent)."""
    @property
    def duration(self) -> float:
        """Duration of the file in seconds (0.0 when absent or unreadable)."""
    @property
    def pix_fmt(self) -> str:
        """Pixel format of the film's video stream ("unknown" when absent)."""
    @property
    def bitrate(self) -> str:
        """Overall bit rate in bits per second, as ffprobe's text ("0" when absent)."""

@final
class KestEngine:
    """A stateless engine; every method runs ffmpeg or ffprobe and waits for it."""

    def __new__(cls) -> KestEngine: ...
    def probe(self, path: str) -> VideoMetadata:
        """Runs ffprobe; raises OSError, ValueError or RuntimeError when it cannot tell."""
    def get_blackbar_coords(self, path: str) -> str:
        """The crop rectangle "w:h:x:y" that removes black bars (the full picture if none)."""
    def transform(
        self, input: str, output: str, codec: str, res: str, crop: str, flags: str
    ) -> bool:
        """Re-encodes with crop and Lanczos scale, showing progress; True when ffmpeg succeeded."""
    def remux(self, input: str, output: str) -> bool:
        """Copies every stream into a new container, silently; True when ffmpeg succeeded."""
    def batch(self, tasks: Sequence[tuple[str, str, str, str, str, str]]) -> list[bool]:
        """Runs many transform tasks on the worker pool; one flag per task, in task order."""
