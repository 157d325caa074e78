"""What an encode tells its caller: why it failed, or what a successful one met."""
from __future__ import annotations

import dataclasses

__all__ = ["EncodeReport"]


@dataclasses.dataclass(frozen=True)
class EncodeReport:
    """The outcome of one encode, readable without the console."""

    #: True when ffmpeg succeeded and, when the output was verified, the verification held.
    ok: bool
    #: ffmpeg's own lines other than its statistics (its reasons for failing, the decode errors
    #: it met), the first of them, each cut at a sane length; or how the encode process died.
    messages: tuple[str, ...]
    #: How many more such lines ffmpeg wrote beyond ``messages``.
    more_messages: int
    #: The verification's findings (``Verification.problems``); empty when it held or was off.
    problems: tuple[str, ...]
    #: Frames duplicated by the constant-rate conversion, from ffmpeg's last statistics record;
    #: None when it gave none.
    dup: int | None
    #: Frames dropped by the constant-rate conversion, likewise.
    drop: int | None
    #: True when the output was verified and held, False when it was verified and did not, None
    #: when verification was off (or the encode failed before there was anything to verify).
    verified: bool | None
