"""Stopping a run at a safe point on SIGINT or SIGTERM, and library calls
that block run so that a stop request still gets through."""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable
from types import FrameType, TracebackType
from typing import Any, TypeVar

from corvane_cli.errors import Abandoned

# How long a call that a stop request cannot cut short is waited for once
# asked to stop; then the process ends without it.
STOP_GRACE_S = 1.5
WAIT_SLICE_S = 0.1

T = TypeVar("T")


class StopRequest:
    """SIGINT and SIGTERM only set a flag: the run stops at its next safe
    point, never in the middle of writing a record, and every wait looks at
    the flag at least every WAIT_SLICE_S."""

    def __init__(self) -> None:
        self.signal: int | None = None
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> StopRequest:
        for number in (signal.SIGINT, signal.SIGTERM):
            self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _handle(self, number: int, frame: FrameType | None) -> None:
        self.signal = number

    def check(self) -> None:
        if self.signal is not None:
            raise KeyboardInterrupt

    def call(self, function: Callable[[], T], on_stop: Callable[[], object] | None = None) -> T:
        """function() on a thread of its own, for calls that block in the
        library; a stop request runs on_stop() (which should cut the call
        short) and raises KeyboardInterrupt, or Abandoned when the call is
        still running STOP_GRACE_S later."""
        outcome: dict[str, Any] = {}

        def target() -> None:
            try:
                outcome["value"] = function()
            except BaseException as error:  # raised in the caller's thread below
                outcome["error"] = error

        thread = threading.Thread(target=target, name="corvane_call", daemon=True)
        thread.start()
        while thread.is_alive():
            thread.join(WAIT_SLICE_S)
            if self.signal is not None and thread.is_alive():
                stopping = threading.Thread(target=on_stop or (lambda: None), name="corvane_stop", daemon=True)
                stopping.start()
                thread.join(STOP_GRACE_S)
                stopping.join(0)
                raise Abandoned if thread.is_alive() or stopping.is_alive() else KeyboardInterrupt
        if "error" in outcome:
            raise outcome["error"]
        self.check()
        value: T = outcome["value"]
        return value
