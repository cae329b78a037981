#include "CvLibProcess.h"

#include "CvLibErrors.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cvlib {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr auto kTerminateGrace = std::chrono::seconds(3);

void AddExecuteBits(const QByteArray& program) {
  struct stat st {};
  if (::stat(program.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // Execute for whoever may read it, as "chmod +x" does. Failing is fine: on a read-only
  // backup medium the file may be executable already, and the start reports it if not.
  const mode_t wanted = st.st_mode | ((st.st_mode & 0444) >> 2);
  if (wanted != st.st_mode) ::chmod(program.constData(), wanted & 07777);
}

// waitpid without a hang; true with the status when the child has ended.
bool Reaped(pid_t pid, int& status) {
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      status = 0;
      return true;  // no such child any more
    }
    return false;
  }
}

// Ends the child's process group: politely first, then for good.
void Terminate(pid_t pid, int& status) {
  ::kill(-pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kTerminateGrace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Reaped(pid, status)) {
      ::kill(-pid, SIGKILL);  // helpers left in the group
      return;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  ::kill(-pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

QStringList SplitCommandLine(const QString& parameters) {
  QStringList args;
  QString current;
  bool inArg = false;
  bool quoted = false;
  const qsizetype n = parameters.size();
  for (qsizetype i = 0; i < n;) {
    const QChar c = parameters[i];
    if (c == QLatin1Char('\\')) {
      qsizetype slashes = 0;
      while (i < n && parameters[i] == QLatin1Char('\\')) {
        ++slashes;
        ++i;
      }
      inArg = true;
      if (i < n && parameters[i] == QLatin1Char('"')) {
        current += QString(slashes / 2, QLatin1Char('\\'));
        if (slashes % 2 == 1) {
          current += QLatin1Char('"');
          ++i;
        }
        // An even count leaves the quote to the quote rule below.
      } else {
        current += QString(slashes, QLatin1Char('\\'));
      }
      continue;
    }
    if (c == QLatin1Char('"')) {
      inArg = true;
      if (quoted && i + 1 < n && parameters[i + 1] == QLatin1Char('"')) {
        current += QLatin1Char('"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    if (!quoted && (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
                    c == QLatin1Char('\r'))) {
      if (inArg) args << current;
      current.clear();
      inArg = false;
      ++i;
      continue;
    }
    current += c;
    inArg = true;
    ++i;
  }
  if (inArg) args << current;
  return args;
}

int RunAndWait(const QString& program, const QString& parameters, const QString& folder,
               const TRunPoll& poll, int& exitCode) {
  return RunAndWait(program, SplitCommandLine(parameters), folder, poll, exitCode);
}

int RunAndWait(const QString& program, const QStringList& arguments, const QString& folder,
               const TRunPoll& poll, int& exitCode) {
  exitCode = -1;
  if (program.isEmpty()) return ceProcessStart;
  const QByteArray path = QFile::encodeName(program);
  AddExecuteBits(path);

  std::vector<QByteArray> argBytes{path};
  for (const QString& a : arguments) argBytes.push_back(QFile::encodeName(a));
  std::vector<char*> argv;
  for (QByteArray& a : argBytes) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  const QByteArray dir = QFile::encodeName(folder);
  if (!folder.isEmpty()) posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
  // A silent setup must not wait for keyboard input that never comes.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // Its own process group, so that stopping it reaches what it started too; default
  // signal handling, whatever this process ignores or blocks.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int spawnError = ::posix_spawn(&pid, path.constData(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (spawnError != 0) return ceProcessStart;

  int status = 0;
  bool stopped = false;
  while (!Reaped(pid, status)) {
    if (poll) {
      bool stop = false;
      poll(stop);
      if (stop) {
        Terminate(pid, status);
        stopped = true;
        break;
      }
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  if (WIFEXITED(status)) exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) exitCode = 128 + WTERMSIG(status);
  if (stopped) return ceProcessStopped;
  return WIFSIGNALED(status) ? ceProcessCrashed : ceOK;
}

bool F12(int productNumber) { return productNumber >= 1000; }

}  // namespace cvlib
