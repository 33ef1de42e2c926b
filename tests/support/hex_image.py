"""An independent model of what a device holds after an update with a HEX
image: the firmware loader's rules written small, for the tests that check
kelto_hexcheck and the simulated flash against it.

Rules: only data lines of 16 bytes are placed, at page = address & ~0x3F and
slot = (address >> 4) & 3 of the 16-bit address; a later line for a slot
replaces an earlier one; unfilled bytes are 0xFF.

    pages("image.hex")    -> {0: bytearray(64 bytes), 64: ...} (ascending)
    summary(pages(path))  -> {"crc32": "e5d8ce89", "first_page": 0, "last_page": 192, "pages": 4}
"""

import zlib


def pages(path):
    """Page address -> its 64 bytes, in ascending address order."""
    held = {}
    with open(path, "rb") as f:
        for line in f.read().decode("ascii").splitlines():
            body = bytes.fromhex(line.strip()[1:])
            if body[0] != 16:
                continue
            address = (body[1] << 8) | body[2]
            page = held.setdefault(address & ~0x3F, bytearray(b"\xff" * 64))
            slot = (address >> 4) & 3
            page[16 * slot:16 * slot + 16] = body[4:20]
    return dict(sorted(held.items()))


def summary(image):
    """What kelto_hexcheck prints for `image` (a pages() result)."""
    crc = 0
    for data in image.values():
        crc = zlib.crc32(data, crc)
    return {"crc32": "%08x" % crc,
            "first_page": min(image) if image else None,
            "last_page": max(image) if image else None,
            "pages": len(image)}
