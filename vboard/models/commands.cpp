// The command lines the board runs and the programs it starts, each traced
// before the C library's own system or exec takes over.
#include "board.h"
#include "sys.h"
#include "trace.h"

#include <cstdarg>
#include <string>
#include <unistd.h>
#include <vector>

using namespace vb;

namespace {

void trace_exec(const char *path, char *const argv[])
{
	if (!board_active())
		return;
	std::string line = "exec ";
	line += trace_word(path ? path : "");
	for (int i = 0; argv && argv[i]; i++) {
		line += ' ';
		line += trace_word(argv[i]);
	}
	trace_text_detached(line);
}

// The exec family: traced, then the C library's own; envp where there is one.
template <typename Next, typename... Env> int traced_exec(const char *path, char *const argv[], Env... envp)
{
	trace_exec(path, argv);
	return Next::call(path, argv, envp...);
}

// The arguments of execl, execlp and execle up to the terminating null.
std::vector<char *> collect_args(const char *arg0, va_list ap)
{
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(arg0));
	while (argv.back())
		argv.push_back(va_arg(ap, char *));
	return argv;
}

} // namespace

EXPORT int system(const char *cmd)
{
	if (cmd && board_active())
		trace_text("system \"" + c_escape(cmd) + "\"");
	return LIBC(system)::call(cmd);
}

EXPORT int execve(const char *path, char *const argv[], char *const envp[]) noexcept
{
	return traced_exec<LIBC(execve)>(path, argv, envp);
}

EXPORT int execvpe(const char *file, char *const argv[], char *const envp[]) noexcept
{
	return traced_exec<LIBC(execvpe)>(file, argv, envp);
}

EXPORT int execv(const char *path, char *const argv[]) noexcept
{
	return traced_exec<LIBC(execv)>(path, argv);
}

EXPORT int execvp(const char *file, char *const argv[]) noexcept
{
	return traced_exec<LIBC(execvp)>(file, argv);
}

// execl, execlp and execle: their argument list gathered for the vector
// spelling that takes the same environment, as the C library does.
#define LISTED_EXEC(name, next, env)                                                               \
	EXPORT int name(const char *path, const char *arg0, ...) noexcept                          \
	{                                                                                          \
		va_list ap;                                                                        \
		va_start(ap, arg0);                                                                \
		std::vector<char *> argv = collect_args(arg0, ap);                                 \
		char *const *envp = env;                                                           \
		va_end(ap);                                                                        \
		return traced_exec<LIBC(next)>(path, argv.data(), envp);                           \
	}

LISTED_EXEC(execl, execve, environ)
LISTED_EXEC(execlp, execvpe, environ)
LISTED_EXEC(execle, execve, va_arg(ap, char *const *))
