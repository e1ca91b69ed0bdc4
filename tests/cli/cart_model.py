"""A plain, slow model of a whole Frennick run, written apart from the C++
code, that the command-line tests compare the real binary against."""

PAGE = 8192
SIGNATURE = bytes([0xAA, 0x01, 0x02, 0x00, 0x00, 0x00, 0x60, 0x0C,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x60, 0x1C])
PIXEL_OFFSETS = [33 + 1922 * band + 5 * row + column
                 for band in range(4) for row in range(192) for column in range(4)]
COLOUR_DISTANCE = 961
POPCOUNT = [bin(i).count("1") for i in range(256)]


def match_page(previous, current, tally):
    """Rewrites bytearray `current` against `previous`; returns bytes inverted."""
    tally["examined"] += 24576
    inverted = 0
    for p in PIXEL_OFFSETS:
        keep = POPCOUNT[previous[p] ^ current[p]]
        if keep > 4:
            current[p] ^= 0xFF
            c = current[p + COLOUR_DISTANCE]
            current[p + COLOUR_DISTANCE] = ((c << 4) | (c >> 4)) & 0xFF
            inverted += 1
            tally["fixed"] += keep - (8 - keep)
    tally["patches"] += inverted
    return inverted


def pixel_changes(pages):
    """Pixels that change from each page to the next, from page 2 on."""
    return [sum(POPCOUNT[pages[n - 1][p] ^ pages[n][p]] for p in PIXEL_OFFSETS)
            for n in range(2, len(pages))]


def summary(pages, tally):
    examined = tally["examined"]
    percent = int(tally["fixed"] * 100.0 / examined + 0.5) if examined else 0
    return (f"Process complete after {pages} pages, {tally['patches']} patches "
            f"fixing {tally['fixed']} pixels out of {examined} ({percent}%).\n")


SIGNATURE_MESSAGE = ("This doesn't look like a Dravo-special video cart "
                     "(first 16-bytes of video page 1)\n")


def run(data, stop=None):
    """What a run over these bytes leaves: (bytes, stdout, exit status). With
    `stop`, the run ends at that page as if it could not be read: the pages
    before it matched and written, the summary naming it, without the read
    message a failure would add."""
    data = bytearray(data)
    if len(data) < 2 * PAGE:
        return bytes(data), "failed to read first page, errno 0!\n", 1
    if data[PAGE:PAGE + 16] != SIGNATURE:
        return bytes(data), SIGNATURE_MESSAGE, 1
    tally = {"patches": 0, "fixed": 0, "examined": 0}
    pages = len(data) // PAGE if stop is None else stop
    for n in range(2, pages):
        current = data[n * PAGE:(n + 1) * PAGE]
        match_page(data[(n - 1) * PAGE:n * PAGE], current, tally)
        data[n * PAGE:(n + 1) * PAGE] = current
    return bytes(data), summary(pages, tally), 0


def differing_pages(a, b):
    """Page numbers at which two images differ, and whether their sizes do."""
    pages = [n for n in range(max(len(a), len(b)) // PAGE + 1)
             if a[n * PAGE:(n + 1) * PAGE] != b[n * PAGE:(n + 1) * PAGE]]
    return pages, len(a) != len(b)
