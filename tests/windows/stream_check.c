/* Checks of the Windows branches of the patch file streams, run under Wine by CTest in a
 * working folder of their own: UTF-8 to UTF-16 path conversion and its
 * errno values, 64-bit positions past 4 GiB (long is 32 bits here), the range and order rules,
 * and the same-file test through another spelling and a hard link.
 * Prints one "ok   name" or "FAIL name: why" line per check on stdout; exits 1 on any failure. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "patch/file_stream.h"
#include "patch/hl_platform_win32.h"

static int failures;

/* Read window memory, 8-byte aligned as file_in_stream_set_window asks. */
static uint64_t windowMemory[FILE_IN_WINDOW_SIZE / 8 + 1];

static void check(int condition, const char* name, const char* why) {
  if (condition) {
    printf("ok   %s\n", name);
  } else {
    printf("FAIL %s: %s\n", name, why);
    ++failures;
  }
  fflush(stdout);
}

/* "Ünïcødé ✓.bin" in UTF-8, and the same name in UTF-16 for the Win32 calls that make it. */
static const char kUnicodeName[] =
    "\xc3\x9cn\xc3\xaf"
    "c\xc3\xb8"
    "d\xc3\xa9 \xe2\x9c\x93.bin";
static const wchar_t kUnicodeWide[] = L"\u00dcn\u00efc\u00f8d\u00e9 \u2713.bin";

static int write_wide(const wchar_t* name, const char* data, DWORD size) {
  DWORD written = 0;
  HANDLE file =
      CreateFileW(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  BOOL ok;
  if (file == INVALID_HANDLE_VALUE) return 0;
  ok = WriteFile(file, data, size, &written, NULL);
  CloseHandle(file);
  return ok && written == size;
}

static void check_path_conversion(void) {
  char longPath[2049];
  FILE* file;

  errno = 0;
  file = fopen_utf8(
      "bad\xff"
      "name",
      "rb");
  check(file == NULL && errno == 42, "invalid UTF-8 gives EILSEQ (42)", "other errno");

  memset(longPath, 'a', 2048);
  longPath[2048] = '\0';
  errno = 0;
  file = fopen_utf8(longPath, "rb");
  check(file == NULL && errno == 38, "2048 characters give ENAMETOOLONG (38)", "other errno");

  longPath[2047] = '\0';
  errno = 0;
  file = fopen_utf8(longPath, "rb");
  check(file == NULL && errno != 38, "2047 characters still convert", "ENAMETOOLONG");
}

/* The one conversion that the engine, hpatchi.exe and the runner share. */
static void check_text_conversion(void) {
  wchar_t wide[4];
  char text[4];
  static const wchar_t kHalfPair[] = {0xd800, 0};

  check(hl_platform_utf16_from_utf8("", 0, wide, 4) == 0, "empty text converts to nothing",
        "not 0");
  check(hl_platform_utf16_from_utf8("ab\xc3\xa9", -1, NULL, 0) == 4,
        "UTF-16 length asked for, terminator counted", "not 4");
  errno = 0;
  check(hl_platform_utf16_from_utf8("abcd", -1, wide, 4) == -1 && errno == ERANGE,
        "UTF-16 room too small gives ERANGE", "other result");
  errno = 0;
  check(hl_platform_utf8_from_utf16(kHalfPair, -1, text, 4) == -1 && errno == EILSEQ,
        "unpaired surrogate gives EILSEQ", "other result");
  check(hl_platform_utf8_from_utf16(L"\u00e9", 1, text, 4) == 2 && text[0] == '\xc3' &&
            text[1] == '\xa9',
        "UTF-16 converts to UTF-8", "other bytes");
}

static void check_unicode_stream(void) {
  TFileInStream in;
  hl_byte buffer[4];
  const TFileStreamHead* head;

  if (!write_wide(kUnicodeWide, "0123456789", 10)) {
    check(0, "UTF-8 name opens", "could not create the file");
    return;
  }
  memset(&in, 0, sizeof(in));
  if (!file_in_stream_open(&in, kUnicodeName)) {
    check(0, "UTF-8 name opens", "file_in_stream_open failed");
    return;
  }
  head = &in.base.head;
  check(head->streamSize == 10, "UTF-8 name opens and measures 10 bytes", "wrong size");
  check(head->read(head, 6, buffer, buffer + 4) && memcmp(buffer, "6789", 4) == 0,
        "read ending at the end of the file", "read failed or wrong bytes");
  check(!head->read(head, 7, buffer, buffer + 4) && in.base.fileError == 27,
        "read one byte past the end gives EFBIG (27)", "accepted or other errno");
  check(head->read(head, 1000, buffer, buffer), "empty read beyond the end succeeds", "failed");
  file_in_stream_set_window(&in, (hl_byte*)windowMemory);
  check(head->read(head, 2, buffer, buffer + 3) && memcmp(buffer, "234", 3) == 0 &&
            head->read(head, 5, buffer, buffer + 4) && memcmp(buffer, "5678", 4) == 0,
        "window: a jump and a range going on in a short file", "read failed or wrong bytes");
  file_in_stream_set_window(&in, NULL);
  check(file_in_stream_open(&in, kUnicodeName) == hl_FALSE && in.base.file != NULL &&
            in.base.fileError == 22,
        "opening an open record gives EINVAL (22) and leaves it open", "wrong state");
  check(file_stream_names_same_file(&in.base, kUnicodeName), "same file by its own name",
        "not recognised");
  check(file_stream_close(&in.base) && in.base.file == NULL, "close", "close failed");
}

static void check_same_file(void) {
  TFileInStream in;
  memset(&in, 0, sizeof(in));
  DeleteFileW(L"link.bin"); /* left by an earlier run */
  if (!write_wide(L"Original.bin", "abc", 3) || !write_wide(L"other.bin", "abc", 3) ||
      !CreateHardLinkW(L"link.bin", L"Original.bin", NULL)) {
    check(0, "same-file set-up", "could not create the files");
    return;
  }
  if (!file_in_stream_open(&in, "Original.bin")) {
    check(0, "same-file set-up", "open failed");
    return;
  }
  check(file_stream_names_same_file(&in.base, "ORIGINAL.BIN"), "same file in other letter case",
        "not recognised");
  check(file_stream_names_same_file(&in.base, "link.bin"), "same file through a hard link",
        "not recognised");
  check(!file_stream_names_same_file(&in.base, "other.bin"), "a copy is another file",
        "taken for the same");
  check(!file_stream_names_same_file(&in.base, "missing.bin"), "a missing file is another file",
        "taken for the same");
  file_stream_close(&in.base);
}

/* A sparse file past 4 GiB: positions must travel in 64 bits through _fseeki64 and _ftelli64. */
static void check_large_file(void) {
  const uint64_t size = ((uint64_t)5 << 30) + 7;
  const uint64_t mark = ((uint64_t)9 << 29); /* 4.5 GiB */
  LARGE_INTEGER position;
  DWORD written = 0;
  TFileInStream in;
  hl_byte buffer[4];
  const TFileStreamHead* head;
  HANDLE file =
      CreateFileW(L"large.bin", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD ignored;
  BOOL made;
  if (file == INVALID_HANDLE_VALUE) {
    check(0, "file past 4 GiB", "could not create it");
    return;
  }
  DeviceIoControl(file, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &ignored, NULL);
  position.QuadPart = (LONGLONG)mark;
  made = SetFilePointerEx(file, position, NULL, FILE_BEGIN) &&
         WriteFile(file, "MARK", 4, &written, NULL) && written == 4;
  position.QuadPart = (LONGLONG)size;
  made = made && SetFilePointerEx(file, position, NULL, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!made) {
    check(0, "file past 4 GiB", "could not size it");
    DeleteFileW(L"large.bin");
    return;
  }
  memset(&in, 0, sizeof(in));
  if (!file_in_stream_open(&in, "large.bin")) {
    check(0, "file past 4 GiB", "open failed");
    DeleteFileW(L"large.bin");
    return;
  }
  head = &in.base.head;
  check(head->streamSize == size, "file past 4 GiB measures its full size", "wrong size");
  check(head->read(head, mark, buffer, buffer + 4) && memcmp(buffer, "MARK", 4) == 0,
        "read at 4.5 GiB", "read failed or wrong bytes");
  check(head->read(head, size - 4, buffer, buffer + 4) && in.base.filePos == size,
        "read of the last bytes past 4 GiB", "read failed or position lost");
  file_in_stream_set_window(&in, (hl_byte*)windowMemory);
  memset(buffer, 0, sizeof(buffer));
  check(head->read(head, mark, buffer, buffer + 4) && memcmp(buffer, "MARK", 4) == 0,
        "window: a jump to 4.5 GiB", "read failed or wrong bytes");
  check(head->read(head, mark + 4, buffer, buffer + 2) && buffer[0] == 0 && buffer[1] == 0 &&
            head->read(head, mark, buffer, buffer + 4) && memcmp(buffer, "MARK", 4) == 0,
        "window: a run past 4.5 GiB, then back", "read failed or wrong bytes");
  check(head->read(head, size - 4, buffer, buffer + 4) && in.base.filePos == size,
        "window: the short blocks at the end past 4 GiB", "read failed or position lost");
  check(!head->read(head, size - 3, buffer, buffer + 4) && in.base.fileError == 27,
        "window: one byte past the end gives EFBIG (27)", "accepted or other errno");
  file_in_stream_set_window(&in, NULL);
  file_stream_close(&in.base);
  DeleteFileW(L"large.bin");
}

static void check_out_stream(void) {
  TFileOutStream out;
  TFileInStream in;
  hl_byte buffer[6];
  const TFileStreamHead* head;
  memset(&out, 0, sizeof(out));
  if (!file_out_stream_open(&out, kUnicodeName, 6)) {
    check(0, "output stream", "open failed");
    return;
  }
  head = &out.base.head;
  check(head->write(head, 0, (const hl_byte*)"abc", (const hl_byte*)"abc" + 3), "output write at 0",
        "failed");
  check(!head->write(head, 4, (const hl_byte*)"x", (const hl_byte*)"x" + 1) &&
            out.base.fileError == 34,
        "output write with a gap gives ERANGE (34)", "accepted or other errno");
  check(head->write(head, 3, (const hl_byte*)"def", (const hl_byte*)"def" + 3),
        "output write following on", "failed");
  check(!head->write(head, 6, (const hl_byte*)"g", (const hl_byte*)"g" + 1),
        "output write past the declared size fails", "accepted");
  check(head->read(head, 0, buffer, buffer + 6) && memcmp(buffer, "abcdef", 6) == 0, "read back",
        "failed or wrong bytes");
  check(file_stream_close(&out.base), "output close", "failed");
  memset(&in, 0, sizeof(in));
  check(file_in_stream_open(&in, kUnicodeName) && in.base.head.streamSize == 6,
        "output file truncated and rewritten (binary, no CR added)", "wrong size");
  file_stream_close(&in.base);
}

int main(void) {
  check_path_conversion();
  check_text_conversion();
  check_unicode_stream();
  check_out_stream();
  check_same_file();
  check_large_file();
  return failures == 0 ? 0 : 1;
}
