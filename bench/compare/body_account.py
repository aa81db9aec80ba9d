#!/usr/bin/env python3
"""Where a patch's bytes go: its body split into cover headers, literal runs and difference bytes,
each part's raw length and its length coded alone, and the whole body coded with one part made
constant, next to a bsdiff patch's control, difference and extra streams when one is given.

    bench/compare/body_account.py PATCH [BSDIFF-PATCH]

PATCH is an hpatch_lite patch of any compress type. The parts are coded with LZMA2 as mkpatch
sets it up for bodies (lc 3, lp 0, pb 0, bt3, nice 273, depth 512) and with bzip2 -9, so that
the coders can be compared on the same bytes.
"""
import bz2
import lzma
import sys
import zlib

LZMA2_BODY = {'id': lzma.FILTER_LZMA2, 'preset': 9, 'lc': 3, 'lp': 0, 'pb': 0, 'dict_size': 1 << 22,
              'nice_len': 273, 'depth': 512, 'mf': lzma.MF_BT3}


def packed(data, at):
    value = 0
    while True:
        b = data[at]
        at += 1
        value = ((value << 7) | (b & 0x7F)) & 0xFFFFFFFF
        if not b & 0x80:
            return value, at


def body_of(patch):
    if patch[:2] != b'hI' or patch[3] & 0xC0 != 0x40:
        raise SystemExit('not an hpatch_lite patch')
    kind, n, m = patch[2], patch[3] & 7, (patch[3] >> 3) & 7
    at = 4 + n + m
    if kind == 0:
        return patch[at:]
    if kind == 2:
        return zlib.decompressobj(int.from_bytes(patch[at:at + 1], 'little', signed=True)).decompress(patch[at + 1:])
    if kind == 3:
        props = patch[at + 1:at + 1 + patch[at]]
        lc, rest = props[0] % 9, props[0] // 9
        filt = {'id': lzma.FILTER_LZMA1, 'lc': lc, 'lp': rest % 5, 'pb': rest // 5,
                'dict_size': int.from_bytes(props[1:5], 'little')}
        return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[filt]).decompress(patch[at + 1 + patch[at]:])
    if kind == 4:
        return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[{'id': lzma.FILTER_LZMA2, 'dict_size': 1 << 30}]).decompress(
            patch[at + 1:])
    raise SystemExit('compress type %d is not read here (tuz has no Python decoder)' % kind)


def split_body(body):
    """The body's bytes by part, as (part, start, end) spans in body order."""
    spans = []
    count, at = packed(body, 0)
    spans.append(('header', 0, at))
    plain = 0
    for _ in range(count):
        start = at
        length, at = packed(body, at)
        tag = body[at]
        at += 1
        if tag & 0x20:
            while body[at] & 0x80:
                at += 1
            at += 1
        literal, at = packed(body, at)
        spans.append(('header', start, at))
        spans.append(('literal', at, at + literal))
        at += literal
        if tag & 0x80:
            plain += 1
        else:
            spans.append(('difference', at, at + length))
            at += length
    return spans, count, plain


def coded(data):
    return len(lzma.compress(bytes(data), format=lzma.FORMAT_RAW, filters=[LZMA2_BODY]))


def bzip2(data):
    return len(bz2.compress(bytes(data), 9))


def account(path):
    body = body_of(open(path, 'rb').read())
    spans, count, plain = split_body(body)
    parts = {'header': bytearray(), 'literal': bytearray(), 'difference': bytearray()}
    for part, start, end in spans:
        parts[part] += body[start:end]
    whole = coded(body)
    print('%s: body %d bytes, %d covers (%d plain copies), LZMA2 %d' % (path, len(body), count, plain, whole))
    print('  %-11s %10s %10s %10s %10s %16s' % ('part', 'raw', 'non-zero', 'LZMA2', 'bzip2', 'whole without'))
    for part, data in parts.items():
        # The body with this part's bytes made zero: what the rest costs around it.
        blanked = bytearray(body)
        for p, start, end in spans:
            if p == part:
                blanked[start:end] = bytes(end - start)
        nonzero = len(data) - data.count(0)
        print('  %-11s %10d %10d %10d %10d %16d' % (part, len(data), nonzero, coded(data), bzip2(data),
                                                   whole - coded(blanked)))


def account_bsdiff(path):
    data = open(path, 'rb').read()

    def offt(b):
        v = int.from_bytes(b[:7], 'little') | ((b[7] & 0x7F) << 56)
        return -v if b[7] & 0x80 else v

    if data[:8] != b'BSDIFF40':
        raise SystemExit('not a bsdiff patch')
    ctrl_len, diff_len = offt(data[8:16]), offt(data[16:24])
    streams = [('control', data[32:32 + ctrl_len]), ('difference', data[32 + ctrl_len:32 + ctrl_len + diff_len]),
               ('extra', data[32 + ctrl_len + diff_len:])]
    print('%s: %d bytes' % (path, len(data)))
    print('  %-11s %10s %10s %10s %10s' % ('stream', 'raw', 'non-zero', 'LZMA2', 'bzip2'))
    for name, packed_stream in streams:
        raw = bz2.decompress(packed_stream)
        print('  %-11s %10d %10d %10d %10d' % (name, len(raw), len(raw) - raw.count(0), coded(raw), len(packed_stream)))


if __name__ == '__main__':
    if len(sys.argv) not in (2, 3):
        raise SystemExit(__doc__)
    account(sys.argv[1])
    if len(sys.argv) == 3:
        account_bsdiff(sys.argv[2])
