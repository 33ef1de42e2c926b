#!/usr/bin/env python3
"""Generate Intel HEX test images for the firmware loader, deterministically.

The same arguments always give the same file. The image is --size-bytes bytes
(default --pages x 64) of pseudo-random data from --seed, starting at --base,
written as 16-byte data records (type 00), followed by the end-of-file record.

Examples:
  gen_hex.py --pages 2
      :10000000<16 bytes>CC   (4 records per page, 8 in all)
      :00000001FF
  gen_hex.py --pages 3 --unordered --crlf --lower -o image.hex
  gen_hex.py --size-bytes 4194304 --ext-address -o big.hex   (4 MiB, for objcopy)

Variations, each for one behaviour of the loader:
  --unordered      data records in a shuffled order
  --partial        every even-numbered page lacks one slot (slot (page/2) % 4)
  --short-last     a 7-byte data record after the image (checked, never placed)
  --ext-address    type 04 records: one before the data and one at every
                   64 KiB boundary (the loader ignores them; objcopy needs them
                   for images above 64 KiB)
  --start-address  a type 05 record before the end-of-file record
  --after-eof      one more 16-byte data record after the end-of-file record,
                   at the first address after the image (it is placed)
  --crlf           CR LF line ends instead of LF
  --lower          lower-case hex digits
"""

import argparse
import random
import sys

RECORD_BYTES = 16
PAGE_BYTES = 64


def record(rtype, address, data):
    """One record line without its line end; address is the 16-bit field."""
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def ext_linear(upper):
    return record(0x04, 0, [(upper >> 8) & 0xFF, upper & 0xFF])


def data_records(args, image):
    """(absolute address, line) for every 16-byte data record of the image."""
    out = []
    for offset in range(0, len(image), RECORD_BYTES):
        page_index, slot = divmod(offset, PAGE_BYTES)
        if args.partial and page_index % 2 == 0 and slot // RECORD_BYTES == (page_index // 2) % 4:
            continue
        address = args.base + offset
        out.append((address, record(0x00, address & 0xFFFF, image[offset:offset + RECORD_BYTES])))
    return out


def with_ext_records(records):
    """Insert a type 04 record wherever the upper 16 address bits change."""
    lines, upper = [], None
    for address, line in records:
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(ext_linear(upper))
        lines.append(line)
    return lines


def build_lines(args):
    rng = random.Random(args.seed)
    size = args.size_bytes if args.size_bytes is not None else args.pages * PAGE_BYTES
    size -= size % RECORD_BYTES
    image = bytes(rng.getrandbits(8) for _ in range(size)) if size < 65536 else rng.randbytes(size)
    records = data_records(args, image)
    if args.unordered:
        rng.shuffle(records)
    if args.ext_address:
        lines = with_ext_records(records)
    else:
        if records and (args.base + size - 1) >> 16 != args.base >> 16:
            sys.exit("gen_hex.py: an image past a 64 KiB boundary needs --ext-address")
        lines = [line for _, line in records]
    end = args.base + size
    if args.short_last:
        lines.append(record(0x00, end & 0xFFFF, [rng.getrandbits(8) for _ in range(7)]))
    if args.start_address:
        lines.append(record(0x05, 0, [(args.base >> s) & 0xFF for s in (24, 16, 8, 0)]))
    lines.append(record(0x01, 0, []))
    if args.after_eof:
        lines.append(record(0x00, end & 0xFFFF, [rng.getrandbits(8) for _ in range(RECORD_BYTES)]))
    if args.lower:
        lines = [line.lower() for line in lines]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pages", type=int, default=4, help="image size in 64-byte pages")
    parser.add_argument("--size-bytes", type=int, help="image size in bytes (overrides --pages)")
    parser.add_argument("--base", type=lambda s: int(s, 0), default=0, help="first address")
    parser.add_argument("--seed", type=int, default=1)
    for flag in ("unordered", "partial", "short-last", "ext-address", "start-address",
                 "after-eof", "crlf", "lower"):
        parser.add_argument("--" + flag, action="store_true")
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    args = parser.parse_args()
    if args.base % RECORD_BYTES:
        sys.exit("gen_hex.py: --base must be a multiple of 16")

    eol = "\r\n" if args.crlf else "\n"
    text = "".join(line + eol for line in build_lines(args)).encode("ascii")
    if args.output:
        with open(args.output, "wb") as f:
            f.write(text)
    else:
        sys.stdout.buffer.write(text)


if __name__ == "__main__":
    main()
