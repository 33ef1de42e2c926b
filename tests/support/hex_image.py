"""An independent model of what a device holds after an update with a HEX
image: the firmware loader's rules written small, for the tests that check
kelto_hexcheck and the simulated flash against it.

Rules: only data lines of 16 bytes are placed, at page = address & ~0x3F and
slot = (address >> 4) & 3 of the 16-bit address; a later line for a slot
replaces an earlier one; unfilled bytes are 0xFF; lines after the end-of-file
record are read like any other.

    pages("image.hex")    -> {0: bytearray(64 bytes), 64: ...} (ascending)
    summary("image.hex")  -> {"crc32": "e5d8ce89", "dropped_records": 0, ..., "pages": 4}
"""

import zlib


def read(path):
    """(pages, dropped, after_eof): page address -> its 64 bytes in ascending
    address order; data records dropped for not holding 16 bytes; lines after
    the first end-of-file record."""
    held = {}
    dropped = after_eof = 0
    seen_eof = False
    with open(path, "rb") as f:
        for line in f.read().decode("ascii").splitlines():
            body = bytes.fromhex(line.strip()[1:])
            after_eof += seen_eof
            seen_eof = seen_eof or body[3] == 1
            dropped += body[3] == 0 and body[0] != 16
            if body[0] != 16:
                continue
            address = (body[1] << 8) | body[2]
            page = held.setdefault(address & ~0x3F, bytearray(b"\xff" * 64))
            slot = (address >> 4) & 3
            page[16 * slot:16 * slot + 16] = body[4:20]
    return dict(sorted(held.items())), dropped, after_eof


def pages(path):
    """Page address -> its 64 bytes, in ascending address order."""
    return read(path)[0]


def summary(path):
    """The document kelto_hexcheck prints for the image at path. first_page
    and last_page are the deprecated names of the *_address keys."""
    image, dropped, after_eof = read(path)
    crc = 0
    for data in image.values():
        crc = zlib.crc32(data, crc)
    first = min(image) if image else None
    last = max(image) if image else None
    return {"crc32": "%08x" % crc, "dropped_records": dropped, "first_page": first,
            "first_page_address": first, "last_page": last, "last_page_address": last,
            "lines_after_eof": after_eof, "pages": len(image)}
