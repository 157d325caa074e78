// The console lock is one of the module's few process-wide objects. A fork while another thread
// holds it would leave the child with a lock nobody can release, so fork takes it first and
// both sides release it afterwards.
#include "tools/console.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace kestrin {
namespace {

pthread_mutex_t console_lock = PTHREAD_MUTEX_INITIALIZER;

void lock_console() { pthread_mutex_lock(&console_lock); }
void unlock_console() { pthread_mutex_unlock(&console_lock); }

void register_fork_handlers() {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(lock_console, unlock_console, unlock_console); });
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

}  // namespace

void write_console(std::string_view text) {
    register_fork_handlers();
    lock_console();
    write_all(STDOUT_FILENO, text);
    unlock_console();
}

}  // namespace kestrin
