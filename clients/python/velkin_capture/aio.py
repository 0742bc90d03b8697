"""The same client for asyncio: each blocking call runs on a worker thread."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator

from .client import Capture, Segment, start_capture


class AsyncCapture:
    """A Capture whose waiting calls are awaited. `lines`, `pid`, the
    directories and `returncode` are the Capture's own."""

    def __init__(self, capture: Capture) -> None:
        self.capture = capture

    def __getattr__(self, name: str):
        return getattr(self.capture, name)

    async def segments(self) -> AsyncIterator[Segment]:
        iterator = self.capture.segments()
        while (segment := await asyncio.to_thread(next, iterator, None)) is not None:
            yield segment

    async def stop(self, timeout: float = 3.0) -> int:
        return await asyncio.to_thread(self.capture.stop, timeout)


class start_capture_async:  # noqa: N801 - used like a function, in `async with`
    """`async with start_capture_async(...) as capture:` takes start_capture()'s
    options; leaving the block stops the agent."""

    def __init__(self, **options) -> None:
        self._options = options
        self._capture: AsyncCapture | None = None

    async def __aenter__(self) -> AsyncCapture:
        self._capture = AsyncCapture(await asyncio.to_thread(start_capture, **self._options))
        return self._capture

    async def __aexit__(self, *exc_info) -> None:
        await self._capture.stop()
