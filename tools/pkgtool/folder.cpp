#include "folder.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The longest member path the board can unpack: "/tmp/", the path and its
// terminating zero within PATH_MAX.
constexpr size_t MAX_MEMBER_PATH = PATH_MAX - sizeof "/tmp/";

// A writer whose buffered data must not reach the sink once something has
// failed, so it is marked failed before it is freed.
void discard_writer(struct archive *a)
{
	archive_write_fail(a);
	archive_write_free(a);
}

using ArchivePtr = std::unique_ptr<struct archive, decltype(&discard_writer)>;
using EntryPtr = std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)>;
struct CloseDir {
	void operator()(DIR *d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, CloseDir>;

// One pass over a folder: a check (no archive) or the packing itself.
struct Walk {
	std::string root; // the folder as the user named it, for messages
	const struct stat *out_dir = nullptr;
	struct archive *archive = nullptr;
	const ArchiveSink *sink = nullptr;
	int sink_rc = PKG_OK; // a failure the sink has already reported
	std::vector<uint8_t> chunk;

	explicit Walk(const char *name) : root(name)
	{
		while (root.size() > 1 && root.back() == '/')
			root.pop_back();
	}
};

std::string shown(const Walk &w, const std::string &rel)
{
	if (rel.empty())
		return w.root;
	return w.root == "/" ? "/" + rel : w.root + "/" + rel;
}

int fail_at(const Walk &w, const std::string &rel, const char *what)
{
	return fail(what, shown(w, rel).c_str());
}

int fail_errno_at(const Walk &w, const std::string &rel)
{
	return fail_errno(shown(w, rel).c_str());
}

int changed(const Walk &w, const std::string &rel)
{
	return fail_at(w, rel, "changed while being read");
}

int archive_failed(const Walk &w, const std::string &rel)
{
	if (w.sink_rc != PKG_OK)
		return w.sink_rc;
	const char *why = archive_error_string(w.archive);
	return fail_at(w, rel, why ? why : "the archive could not be written");
}

la_ssize_t to_sink(struct archive *, void *ctx, const void *p, size_t n)
{
	Walk &w = *static_cast<Walk *>(ctx);
	if (w.sink_rc == PKG_OK)
		w.sink_rc = (*w.sink)(static_cast<const uint8_t *>(p), n);
	return w.sink_rc == PKG_OK ? (la_ssize_t)n : -1;
}

int open_writer(Walk &w)
{
	struct archive *a = w.archive;
	// Plain ustar wherever it will do; a pax header only for what ustar
	// cannot hold (long paths, names that are not ASCII).  No time stamp in
	// the gzip header, and no padding after it: the tar blocks are padded
	// inside the compressed stream, where gunzip expects them.
	if (archive_write_set_format_pax_restricted(a) != ARCHIVE_OK ||
	    archive_write_set_bytes_in_last_block(a, 1) != ARCHIVE_OK || archive_write_add_filter_gzip(a) != ARCHIVE_OK ||
	    archive_write_set_filter_option(a, "gzip", "compression-level", "9") != ARCHIVE_OK ||
	    archive_write_set_filter_option(a, "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
	    archive_write_open(a, &w, nullptr, to_sink, nullptr) != ARCHIVE_OK)
		return archive_failed(w, "");
	return PKG_OK;
}

// Whether an entry is still the one first seen, unmodified.
bool unchanged(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_size == b.st_size &&
	       a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
	       a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A member as the board is to get it: whatever the folder's owners and
// times, owner and group 0 and time 0, so that the bytes depend on
// contents, names and modes alone.
int write_entry(Walk &w, const std::string &rel, mode_t type, mode_t mode, uint64_t size, const char *link)
{
	EntryPtr e(archive_entry_new(), archive_entry_free);
	if (!e) {
		errno = ENOMEM;
		return fail_errno_at(w, rel);
	}
	archive_entry_copy_pathname(e.get(), rel.c_str());
	archive_entry_set_filetype(e.get(), type);
	archive_entry_set_perm(e.get(), mode & 07777);
	archive_entry_set_uid(e.get(), 0);
	archive_entry_set_gid(e.get(), 0);
	archive_entry_set_mtime(e.get(), 0, 0);
	archive_entry_set_size(e.get(), (la_int64_t)size);
	if (link)
		archive_entry_copy_symlink(e.get(), link);
	// A warning says a name is not text in any character set: it is
	// written as raw bytes, which is how the board's file system takes it.
	if (archive_write_header(w.archive, e.get()) < ARCHIVE_WARN)
		return archive_failed(w, rel);
	return PKG_OK;
}

// The contents as the header announced them: a file that shrinks, grows or
// is rewritten meanwhile would give the archive a mix, or a wrong length.
int copy_contents(Walk &w, int fd, const std::string &rel, const struct stat &st)
{
	uint64_t size = (uint64_t)st.st_size;
	for (uint64_t pos = 0; pos < size;) {
		size_t n = size - pos < IO_CHUNK ? (size_t)(size - pos) : IO_CHUNK;
		ssize_t r = read_at(fd, w.chunk.data(), n, pos);
		if (r < 0)
			return fail_errno_at(w, rel);
		if ((size_t)r != n)
			return changed(w, rel);
		if (archive_write_data(w.archive, w.chunk.data(), n) != (la_ssize_t)n)
			return archive_failed(w, rel);
		pos += n;
	}
	uint8_t more;
	ssize_t r = read_at(fd, &more, 1, size);
	if (r < 0)
		return fail_errno_at(w, rel);
	struct stat after;
	if (r > 0 || fstat(fd, &after) != 0 || !unchanged(st, after))
		return changed(w, rel);
	return PKG_OK;
}

int pack_file(Walk &w, int dirfd, const char *name, const std::string &rel, const struct stat &seen)
{
	// O_NOFOLLOW and O_NONBLOCK: a name swapped for a link or a FIFO since
	// it was looked at is neither followed nor waited on.
	Fd f(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
	struct stat st;
	if (f.fd < 0 || fstat(f.fd, &st) != 0)
		return fail_errno_at(w, rel);
	if (!unchanged(seen, st))
		return changed(w, rel);
	if (!w.archive)
		return PKG_OK;
	int rc = write_entry(w, rel, AE_IFREG, st.st_mode, (uint64_t)st.st_size, nullptr);
	return rc != PKG_OK ? rc : copy_contents(w, f.fd, rel, st);
}

// Kept as a link with its target as written: never followed, so nothing
// outside the folder is ever read.
int pack_link(Walk &w, int dirfd, const char *name, const std::string &rel)
{
	std::vector<char> target(PATH_MAX);
	ssize_t n = readlinkat(dirfd, name, target.data(), target.size());
	if (n < 0)
		return fail_errno_at(w, rel);
	if ((size_t)n >= target.size())
		return fail_at(w, rel, "symbolic link target too long");
	if (!w.archive)
		return PKG_OK;
	target[(size_t)n] = '\0';
	return write_entry(w, rel, AE_IFLNK, 0777, 0, target.data());
}

int pack_folder(Walk &w, int dirfd, const std::string &prefix);

// The folder the output goes to must not be packed: the package would
// hold a copy of itself half-written, and the archive could never end.
int check_not_output_dir(const Walk &w, const std::string &rel, const struct stat &st)
{
	if (w.out_dir && st.st_dev == w.out_dir->st_dev && st.st_ino == w.out_dir->st_ino)
		return fail_at(w, rel, "the output would be written into the folder being packed");
	return PKG_OK;
}

int pack_dir(Walk &w, int dirfd, const char *name, const std::string &rel, const struct stat &seen)
{
	Fd d(openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
	struct stat st;
	if (d.fd < 0 || fstat(d.fd, &st) != 0)
		return fail_errno_at(w, rel);
	if (st.st_dev != seen.st_dev || st.st_ino != seen.st_ino)
		return changed(w, rel);
	int rc = check_not_output_dir(w, rel, st);
	if (rc == PKG_OK && w.archive)
		rc = write_entry(w, rel, AE_IFDIR, st.st_mode, 0, nullptr);
	return rc != PKG_OK ? rc : pack_folder(w, d.fd, rel + "/");
}

const char *special_kind(mode_t mode)
{
	if (S_ISFIFO(mode))
		return "a FIFO cannot be packed (only files, folders and symbolic links)";
	if (S_ISSOCK(mode))
		return "a socket cannot be packed (only files, folders and symbolic links)";
	if (S_ISCHR(mode) || S_ISBLK(mode))
		return "a device cannot be packed (only files, folders and symbolic links)";
	return "a file of unknown type cannot be packed (only files, folders and symbolic links)";
}

int pack_entry(Walk &w, int dirfd, const std::string &name, const std::string &rel)
{
	if (rel.size() > MAX_MEMBER_PATH)
		return fail_at(w, rel, "path too long to unpack under the board's /tmp");
	struct stat st;
	if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
		return fail_errno_at(w, rel);
	if (S_ISREG(st.st_mode))
		return pack_file(w, dirfd, name.c_str(), rel, st);
	if (S_ISDIR(st.st_mode))
		return pack_dir(w, dirfd, name.c_str(), rel, st);
	if (S_ISLNK(st.st_mode))
		return pack_link(w, dirfd, name.c_str(), rel);
	return fail_at(w, rel, special_kind(st.st_mode));
}

// The names in a folder in byte order, whatever order the file system
// keeps them in.
int sorted_names(const Walk &w, int dirfd, const std::string &prefix, std::vector<std::string> &names)
{
	int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return fail_errno_at(w, prefix);
	DirPtr dir(fdopendir(fd));
	if (!dir) {
		int saved = errno;
		close(fd);
		errno = saved;
		return fail_errno_at(w, prefix);
	}
	for (;;) {
		errno = 0;
		const struct dirent *d = readdir(dir.get());
		if (!d)
			break;
		if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
			names.emplace_back(d->d_name);
	}
	if (errno != 0)
		return fail_errno_at(w, prefix);
	std::sort(names.begin(), names.end());
	return PKG_OK;
}

// Depth first, each folder's entry before its contents.  The folder itself
// is no member: it stands for the board's /tmp, whose mode is not ours.
int pack_folder(Walk &w, int dirfd, const std::string &prefix)
{
	std::vector<std::string> names;
	int rc = sorted_names(w, dirfd, prefix, names);
	for (size_t i = 0; rc == PKG_OK && i < names.size(); i++)
		rc = pack_entry(w, dirfd, names[i], prefix + names[i]);
	return rc;
}

} // namespace

bool open_folder(const char *path, Fd &f)
{
	f.fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	return f.fd >= 0;
}

int folder_check(int dirfd, const char *name, const struct stat *out_dir)
{
	Walk w(name);
	w.out_dir = out_dir;
	struct stat st;
	if (fstat(dirfd, &st) != 0)
		return fail_errno(name);
	int rc = check_not_output_dir(w, "", st);
	return rc != PKG_OK ? rc : pack_folder(w, dirfd, "");
}

int folder_archive(int dirfd, const char *name, const ArchiveSink &sink)
{
	Walk w(name);
	w.sink = &sink;
	w.chunk.resize(IO_CHUNK);
	ArchivePtr writer(archive_write_new(), discard_writer);
	if (!writer) {
		errno = ENOMEM;
		return fail_errno(name);
	}
	w.archive = writer.get();
	int rc = open_writer(w);
	if (rc == PKG_OK)
		rc = pack_folder(w, dirfd, "");
	if (rc == PKG_OK && archive_write_close(w.archive) != ARCHIVE_OK)
		rc = archive_failed(w, "");
	return rc;
}
