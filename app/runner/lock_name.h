/* The name of the runner's single-instance lock: the lock file's name in the home folder on POSIX,
 * the mutex's name on Windows. Plain C, so that the Windows test helper that squats on the name
 * reads it from here too. */
#ifndef QR_RUNNER_LOCK_NAME_H
#define QR_RUNNER_LOCK_NAME_H

#define QR_RUNNER_LOCK_NAME ".___delvaro_quorlinrunner__AppSingleInstanceCheckerUniqueName__.lock"

#endif
