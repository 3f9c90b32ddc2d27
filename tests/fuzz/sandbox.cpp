#include "sandbox.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Built on a tmpfs over /tmp, which is itself private after unshare.
constexpr const char *NEW_ROOT = "/tmp/root";

[[noreturn]] void fail(const char *what, const char *path)
{
	fprintf(stderr, "sandbox: %s %s: %s\n", what, path, strerror(errno));
	exit(1);
}

void make_dir(const char *path, mode_t mode)
{
	if (mkdir(path, mode) != 0 && errno != EEXIST)
		fail("mkdir", path);
	chmod(path, mode);
}

void bind(const char *from, const char *to)
{
	if (mount(from, to, nullptr, MS_BIND | MS_REC, nullptr) != 0)
		fail("bind", to);
}

// An empty file to bind a device node onto.
void make_node_file(const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT, 0666);
	if (fd < 0)
		fail("create", path);
	close(fd);
}

bool private_entry(const char *name)
{
	return strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, "tmp") == 0 ||
	       strcmp(name, "user") == 0 || strcmp(name, "dev") == 0;
}

// Every top-level directory of the host, bound in place; symbolic links
// (such as /lib on a merged /usr) copied as links.
void mirror_host_root()
{
	DIR *dir = opendir("/");
	if (!dir)
		fail("opendir", "/");
	while (struct dirent *e = readdir(dir)) {
		if (private_entry(e->d_name))
			continue;
		char from[PATH_MAX], to[PATH_MAX];
		snprintf(from, sizeof from, "/%s", e->d_name);
		snprintf(to, sizeof to, "%s/%s", NEW_ROOT, e->d_name);
		struct stat st;
		if (lstat(from, &st) != 0)
			continue;
		if (S_ISLNK(st.st_mode)) {
			char target[PATH_MAX];
			ssize_t n = readlink(from, target, sizeof target - 1);
			if (n < 0)
				continue;
			target[n] = '\0';
			if (symlink(target, to) != 0)
				fail("symlink", to);
		} else if (S_ISDIR(st.st_mode)) {
			make_dir(to, st.st_mode & 07777);
			bind(from, to);
		}
	}
	closedir(dir);
}

void populate_dev()
{
	char path[PATH_MAX];
	snprintf(path, sizeof path, "%s/dev", NEW_ROOT);
	make_dir(path, 0755);
	for (const char *node : {"null", "zero", "random", "urandom"}) {
		char from[64];
		snprintf(from, sizeof from, "/dev/%s", node);
		snprintf(path, sizeof path, "%s/dev/%s", NEW_ROOT, node);
		make_node_file(path);
		bind(from, path);
	}
	snprintf(path, sizeof path, "%s/dev/pts", NEW_ROOT);
	make_dir(path, 0755);
	bind("/dev/pts", path);
	// A bound ptmx node cannot find its pts instance; the link always can.
	snprintf(path, sizeof path, "%s/dev/ptmx", NEW_ROOT);
	if (symlink("pts/ptmx", path) != 0)
		fail("symlink", path);
}

} // namespace

void enter_private_root()
{
	char cwd[PATH_MAX];
	if (!getcwd(cwd, sizeof cwd))
		fail("getcwd", ".");
	if (unshare(CLONE_NEWNS) != 0)
		fail("unshare (needs root)", "mount namespace");
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
		fail("make private", "/");
	if (mount("tmpfs", "/tmp", "tmpfs", 0, "size=256m,mode=1777") != 0)
		fail("mount tmpfs", "/tmp");
	make_dir(NEW_ROOT, 0755);
	mirror_host_root();
	populate_dev();
	char path[PATH_MAX];
	snprintf(path, sizeof path, "%s/tmp", NEW_ROOT);
	make_dir(path, 01777);
	snprintf(path, sizeof path, "%s/user", NEW_ROOT);
	make_dir(path, 0755);
	if (chroot(NEW_ROOT) != 0)
		fail("chroot", NEW_ROOT);
	if (chdir(cwd) != 0)
		fail("chdir", cwd);
}

void bind_device(const char *node, const char *path)
{
	make_node_file(path);
	if (mount(node, path, nullptr, MS_BIND, nullptr) != 0)
		fail("bind", path);
}

void silence_stdout()
{
	int null = open("/dev/null", O_WRONLY);
	if (null < 0 || dup2(null, 1) < 0)
		abort();
	close(null);
}
