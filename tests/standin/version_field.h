// Layout of the version field embedded in the stand-in application's binary: a fixed
// marker, then a NUL-padded field of fixed size that a patched copy carries its version in.
#pragma once

#define QR_STANDIN_MARKER "QUORLIN-STANDIN-VERSION-FIELD:"
#define QR_STANDIN_MARKER_LENGTH (sizeof(QR_STANDIN_MARKER) - 1)
#define QR_STANDIN_FIELD_LENGTH 40
