/* Preloaded into QuorlinRunner by the crash-point tests: kills the process with SIGKILL right
   before its Nth file-system call (QR_CRASH_AT=N), as a crash or a power cut would stop it.
   Calls are counted from the first one that names a path containing QR_CRASH_ARM up to and
   including the first removal of a path containing QR_CRASH_DISARM (both optional: without
   them every call counts). With QR_CRASH_COUNT=<file> it writes the number of counted calls to
   that file at exit, so the tests know how many crash points a run has. It also refuses what a
   version probe needs, as a system whose descriptors or processes have run out does:
   QR_FAIL_PIPES=1 fails every pipe2 with EMFILE (pipe, which the sanitizer runtimes use to test
   memory, is left alone), QR_FAIL_PROBE_STARTS=1 fails every posix_spawn of a "--version" child
   with EAGAIN (=E2BIG: with E2BIG, as an environment at the exec limit does). With
   QR_LINK_AT_OUTPUT=<path> and QR_LINK_TARGET=<file> it puts, at the first fopen for writing of a
   file of <path>'s name or of a descriptor's /proc entry, a link to <file> in <path>'s place, as
   another process could at that moment. With QR_SWAP_FILE=<file> and QR_SWAP_AT=before|after it
   renames <file>, at the first rename of Quorlin_new.exe to Quorlin.exe, over the first just
   before that rename or over the second just after it, as another process could. Other programs
   pass through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static long shim_calls;
static long shim_crash_at = -1; /* 0: count only; -1: not set up yet; -2: not this program */
static int shim_armed;          /* 1: counting; 2: done counting */
static const char* shim_arm;
static const char* shim_disarm;

static void shim_init(void) {
  if (shim_crash_at != -1) return;
  shim_crash_at = 0;
  if (strcmp(program_invocation_short_name, "QuorlinRunner") != 0) {
    shim_crash_at = -2;
    return;
  }
  const char* at = getenv("QR_CRASH_AT");
  if (at != NULL) shim_crash_at = atol(at);
  shim_arm = getenv("QR_CRASH_ARM");
  shim_disarm = getenv("QR_CRASH_DISARM");
  shim_armed = shim_arm == NULL ? 1 : 0;
}

static int shim_names(const char* path, const char* part) {
  return path != NULL && part != NULL && strstr(path, part) != NULL;
}

/* A call that names up to two paths (NULL for none); removal: it deletes `path`. */
static void shim_count_call(const char* path, const char* other, int removal) {
  shim_init();
  if (shim_crash_at == -2) return;
  if (shim_armed == 0 && (shim_names(path, shim_arm) || shim_names(other, shim_arm)))
    shim_armed = 1;
  if (shim_armed != 1) return;
  ++shim_calls;
  if (shim_crash_at > 0 && shim_calls == shim_crash_at) kill(getpid(), SIGKILL);
  if (removal && shim_names(path, shim_disarm)) shim_armed = 2;
}

static void shim_count_paths(const char* path, const char* other) {
  shim_count_call(path, other, 0);
}

static void shim_count_path(const char* path) { shim_count_call(path, NULL, 0); }

static void shim_count_removal(const char* path) { shim_count_call(path, NULL, 1); }

static void shim_count(void) { shim_count_call(NULL, NULL, 0); }

__attribute__((destructor)) static void shim_report(void) {
  shim_init();
  const char* file = getenv("QR_CRASH_COUNT");
  if (shim_crash_at == -2 || file == NULL) return;
  char text[32];
  const int length = snprintf(text, sizeof text, "%ld\n", shim_calls);
  const int fd = (int)syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (syscall(SYS_write, fd, text, (size_t)length) < 0) errno = 0;
  syscall(SYS_close, fd);
}

#define SHIM_NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static mode_t shim_mode(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = shim_mode(flags, args);
  va_end(args);
  shim_count_path(path);
  return SHIM_NEXT(open)(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = shim_mode(flags, args);
  va_end(args);
  shim_count_path(path);
  return SHIM_NEXT(open64)(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = shim_mode(flags, args);
  va_end(args);
  shim_count_path(path);
  return SHIM_NEXT(openat)(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = shim_mode(flags, args);
  va_end(args);
  shim_count_path(path);
  return SHIM_NEXT(openat64)(dir, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
  shim_count_path(path);
  return SHIM_NEXT(creat)(path, mode);
}

/* The patch driver opens its output with fopen, by name or through /proc/self/fd. */
static void shim_link_at_output(const char* path, const char* mode) {
  static int linked;
  shim_init();
  const char* output = getenv("QR_LINK_AT_OUTPUT");
  const char* target = getenv("QR_LINK_TARGET");
  if (shim_crash_at == -2 || linked || output == NULL || target == NULL || path == NULL ||
      strchr(mode, 'w') == NULL)
    return;
  const char* outputName = strrchr(output, '/');
  const char* pathName = strrchr(path, '/');
  const int sameName = outputName != NULL && pathName != NULL && strcmp(outputName, pathName) == 0;
  if (!sameName && strncmp(path, "/proc/self/fd/", 14) != 0) return;
  linked = 1;
  if (SHIM_NEXT(unlink)(output) != 0 || symlink(target, output) != 0) abort();
}

FILE* fopen(const char* path, const char* mode) {
  shim_count_path(path);
  shim_link_at_output(path, mode);
  return SHIM_NEXT(fopen)(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  shim_count_path(path);
  shim_link_at_output(path, mode);
  return SHIM_NEXT(fopen64)(path, mode);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  shim_count();
  return SHIM_NEXT(write)(fd, buffer, count);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  shim_count();
  return SHIM_NEXT(fwrite)(buffer, size, count, stream);
}

int fflush(FILE* stream) {
  shim_count();
  return SHIM_NEXT(fflush)(stream);
}

int fclose(FILE* stream) {
  shim_count();
  return SHIM_NEXT(fclose)(stream);
}

static int shim_ends_with(const char* path, const char* name) {
  const size_t length = strlen(path), tail = strlen(name);
  return length >= tail && strcmp(path + length - tail, name) == 0;
}

static void shim_swap(const char* from, const char* to, int after) {
  static int swapped;
  const char* file = getenv("QR_SWAP_FILE");
  const char* when = getenv("QR_SWAP_AT");
  if (shim_crash_at == -2 || swapped || file == NULL || when == NULL ||
      (strcmp(when, "after") == 0) != after || !shim_ends_with(from, "/Quorlin_new.exe") ||
      !shim_ends_with(to, "/Quorlin.exe"))
    return;
  swapped = 1;
  if (SHIM_NEXT(rename)(file, after ? to : from) != 0) abort();
}

int rename(const char* from, const char* to) {
  shim_count_paths(from, to);
  shim_swap(from, to, 0);
  const int result = SHIM_NEXT(rename)(from, to);
  if (result == 0) shim_swap(from, to, 1);
  return result;
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  shim_count_paths(from, to);
  return SHIM_NEXT(renameat)(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
  shim_count_paths(from, to);
  return SHIM_NEXT(renameat2)(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
  shim_count_removal(path);
  return SHIM_NEXT(unlink)(path);
}

int unlinkat(int dir, const char* path, int flags) {
  shim_count_removal(path);
  return SHIM_NEXT(unlinkat)(dir, path, flags);
}

int remove(const char* path) {
  shim_count_removal(path);
  return SHIM_NEXT(remove)(path);
}

int rmdir(const char* path) {
  shim_count_path(path);
  return SHIM_NEXT(rmdir)(path);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length,
                        unsigned int flags) {
  shim_count();
  return SHIM_NEXT(copy_file_range)(in, inOffset, out, outOffset, length, flags);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  shim_count();
  return SHIM_NEXT(sendfile)(out, in, offset, count);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
  shim_count();
  return SHIM_NEXT(sendfile64)(out, in, offset, count);
}

int fsync(int fd) {
  shim_count();
  return SHIM_NEXT(fsync)(fd);
}

int fdatasync(int fd) {
  shim_count();
  return SHIM_NEXT(fdatasync)(fd);
}

int ftruncate(int fd, off_t length) {
  shim_count();
  return SHIM_NEXT(ftruncate)(fd, length);
}

/* True when the runner is to be refused what `variable` names. */
static int shim_refuses(const char* variable) {
  shim_init();
  const char* value = getenv(variable);
  return shim_crash_at != -2 && value != NULL &&
         (strcmp(value, "1") == 0 || strcmp(value, "E2BIG") == 0);
}

int pipe2(int fds[2], int flags) {
  if (shim_refuses("QR_FAIL_PIPES")) {
    errno = EMFILE;
    return -1;
  }
  return SHIM_NEXT(pipe2)(fds, flags);
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  if (shim_refuses("QR_FAIL_PROBE_STARTS") && argv[0] != NULL && argv[1] != NULL &&
      strcmp(argv[1], "--version") == 0)
    return strcmp(getenv("QR_FAIL_PROBE_STARTS"), "E2BIG") == 0 ? E2BIG : EAGAIN;
  return SHIM_NEXT(posix_spawn)(pid, path, actions, attributes, argv, envp);
}
