"""``corvane show``: many inputs printed inline, one under the other or side by side in a grid.

Each input is read (:func:`corvane.media.pictures.first_frame`) and printed as soon as it is ready
(a grid: as soon as its row is full), so the output scrolls like text; the next two files are
read on threads meanwhile, in order all the same. An input that cannot be
shown is reported through the caller's ``warn`` with the reason and left out; the others are
shown all the same. Titles are the names as given (in a grid, the base names), escaped and cut in
the middle to the room, so that the end (the suffix) shows. Standard input is read once, when
``-`` comes up: a picture whole (up to a bound), a video streamed; from a terminal, a line on
standard error says it waits for it. Main thread of the command line.
"""

from __future__ import annotations

import os
import sys
from collections import deque
from typing import IO, TYPE_CHECKING, Any, Callable, Deque, Iterator, List, NamedTuple, Optional, Tuple, Union

from ..errors import CorvaneError, SourceError
from ..display.graphics import PIXEL_MODES, layout_cell
from ..display.inline import Box, box, encode, picture_for, terminal_size, write
from ..media.images import BLACK, Background
from ..media.pictures import STDIN, Entry, Source, expand, first_frame, read_stdin
from ..text import cut_middle, printable

if TYPE_CHECKING:
    from concurrent.futures import Future

Line = Tuple[bytes, int]
"""A printed line without its newline, and the columns it takes."""
AHEAD = 2
"""Files read ahead on threads while one is written: the two cores of a small machine."""


class Options(NamedTuple):
    """How ``show`` prints: sizes in columns and lines, fit, titles, grid, time in a video,
    colour depth and dithering."""

    width: Optional[int] = None
    height: Optional[int] = None
    fit: str = "contain"
    title: bool = False
    grid: Optional[Tuple[int, int]] = None
    at: Optional[float] = None
    colors: int = 24
    """24 (bits), 256 or 16."""
    dither: Optional[bool] = None
    background: Background = BLACK
    """What transparency is laid over."""
    upscale: bool = False
    """Enlarge pictures smaller than their room."""
    graphics: str = "half"
    """The graphics mode (not ``auto``); a grid of pixel pictures is drawn in half blocks."""


def _cell_room(options: Options, terminal: Optional[Tuple[int, int]]) -> Box:
    """The room of one picture: the whole box, or a grid's cell; less a line for a title."""
    spare = 1 if options.title else 0
    if options.grid is None:
        return box(options.width, options.height, terminal, spare)
    across, down = options.grid
    area = box(options.width, options.height, terminal)
    columns = (area.columns - (across - 1)) // across
    if columns < 1:
        raise CorvaneError(f"{across} pictures side by side do not fit in {area.columns} columns")
    lines = None if area.lines is None else max(1, area.lines // down - spare)
    return Box(columns, lines)


def _block(name: str, source: Source, room: Box, options: Options) -> List[Line]:
    """The lines of one input: its title, if asked for, and its picture."""
    mode = "half" if options.grid and options.graphics in PIXEL_MODES else options.graphics
    cell = layout_cell(mode)
    frame = first_frame(source, options.at, least=None if options.fit == "none" else room.pixels(cell),
                        background=options.background)
    picture = picture_for(frame, room, options.fit, options.upscale, cell)
    columns = -(-picture.shape[1] // cell[0])
    if mode != "half":  # the painters (base64, PNG) only for what half blocks are not
        from ..display.painter import inline
    if mode in PIXEL_MODES:  # one line of the block: the picture, ending on its last line
        lines = [(inline(picture, mode)[:-1], columns)]
    else:
        drawn = encode(picture, options.colors, options.dither) if mode == "half" else inline(picture, mode)
        lines = [(line, columns) for line in drawn.split(b"\n")[:-1]]
    if options.title:
        shown = os.path.basename(name.rstrip(os.sep)) or name if options.grid else name
        text, used = cut_middle(printable(shown), room.columns)
        lines.insert(0, (text.encode(errors="replace"), used))
    return lines


def _row(blocks: List[List[Line]], columns: int) -> bytes:
    """Blocks side by side, each padded to ``columns`` and one blank column between them."""
    rows = []
    for index in range(max(len(block) for block in blocks)):
        parts = []
        for block in blocks:
            line, used = block[index] if index < len(block) else (b"", 0)
            parts.append(line + b" " * (columns - used))
        rows.append(b" ".join(parts).rstrip(b" ") + b"\n")
    return b"".join(rows)


def _stdin() -> Source:
    """Standard input: a picture's bytes, or the pipe a video streams from."""
    try:
        if sys.stdin.isatty():  # else the command seems to hang
            sys.stderr.write("corvane: reading a picture from standard input (the terminal); "
                             "Ctrl-D ends it\n")
            sys.stderr.flush()
        return read_stdin(sys.stdin.buffer)
    except (AttributeError, OSError, ValueError):  # closed, or no standard input at all
        raise SourceError("standard input cannot be read") from None


def _blocks(entries: List[Entry], room: Box,
            options: Options) -> Iterator[Tuple[Entry, Union[List[Line], SourceError]]]:
    """Each entry's lines, or why it cannot be shown, in order. The next :data:`AHEAD` files
    are read on as many threads while the current one is written (the decoders let go of the
    interpreter); standard input is read when its turn comes, on this thread."""

    def block(entry: Entry) -> Union[List[Line], SourceError]:
        try:
            if entry.problem is not None:
                raise SourceError(entry.problem)
            source = _stdin() if entry.name == STDIN else entry.name
            return _block(entry.name, source, room, options)
        except SourceError as error:
            return error

    if len(entries) < 2:
        yield from ((entry, block(entry)) for entry in entries)
        return
    from concurrent.futures import ThreadPoolExecutor  # a few ms of a start that shows one file

    pool = ThreadPoolExecutor(AHEAD)
    queued: Deque[Tuple[Entry, Optional["Future[Union[List[Line], SourceError]]"]]] = deque()
    try:
        for entry in entries:
            queued.append((entry, None if entry.name == STDIN else pool.submit(block, entry)))
            if len(queued) > AHEAD:
                done, future = queued.popleft()
                yield done, block(done) if future is None else future.result()
        while queued:
            done, future = queued.popleft()
            yield done, block(done) if future is None else future.result()
    finally:
        for _, future in queued:
            if future is not None:
                future.cancel()
        pool.shutdown(wait=True)


def show(names: List[str], options: Options, warn: Callable[[str, str], None],
         file: "Optional[IO[Any]]" = None) -> bool:
    """Print every input named; ``warn(name, reason)`` for each that cannot be shown. Whether
    all were shown."""
    out = sys.stdout if file is None else file
    room = _cell_room(options, terminal_size(out))
    shown_all = True
    row: List[List[Line]] = []
    for entry, block in _blocks(expand(names), room, options):
        if isinstance(block, SourceError):
            shown_all = False
            warn(entry.name, str(block))
            continue
        if options.grid is None:
            write(out, b"".join(line + b"\n" for line, _ in block))
            continue
        row.append(block)
        if len(row) == options.grid[0]:
            write(out, _row(row, room.columns))
            row = []
    if row:
        write(out, _row(row, room.columns))
    return shown_all
