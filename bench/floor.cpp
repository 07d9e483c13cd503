// floor.cpp - the unavoidable work of cleaning a tree, as a yardstick:
// for every regular file under the given folders, stat it, read it whole
// with one read, write it whole to a new file beside it in 64 KiB blocks,
// and rename the new file over the original. No parsing, no checks beyond
// the system calls' results.
//
//   marlovex-floor [--durable] FOLDER...
//
// --durable: the least that puts each file on the disk before the next one
// begins: the new file is flushed before the rename, its folder after.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static std::vector<char> s_buffer;
static long s_files;
static int s_durable;

static int FlushFolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    int folder = open(slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1).c_str(),
                      O_RDONLY | O_DIRECTORY);
    if (folder < 0) {
        return 0;
    }
    int ok = fsync(folder) == 0;
    close(folder);
    return ok;
}

static int CopyOver(const char* path, const struct stat* status, int type, struct FTW*)
{
    if (type != FTW_F || !S_ISREG(status->st_mode)) {
        return 0;
    }
    struct stat current;
    if (stat(path, &current) != 0) {
        return 1;
    }
    size_t size = (size_t)current.st_size;
    if (s_buffer.size() < size) {
        s_buffer.resize(size);
    }
    int in = open(path, O_RDONLY);
    if (in < 0 || read(in, s_buffer.data(), size) != (ssize_t)size) {
        return 1;
    }
    close(in);
    std::string temp = std::string(path) + ".floor~";
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0) {
        return 1;
    }
    for (size_t at = 0; at < size;) {
        size_t block = size - at < 65536 ? size - at : 65536;
        ssize_t written = write(out, s_buffer.data() + at, block);
        if (written <= 0) {
            return 1;
        }
        at += (size_t)written;
    }
    if ((s_durable && fsync(out) != 0) || close(out) != 0 || rename(temp.c_str(), path) != 0 ||
        (s_durable && !FlushFolderOf(path))) {
        return 1;
    }
    s_files++;
    return 0;
}

int main(int argc, char** argv)
{
    int first = 1;
    if (argc > 1 && std::string(argv[1]) == "--durable") {
        s_durable = 1;
        first = 2;
    }
    for (int i = first; i < argc; i++) {
        if (nftw(argv[i], CopyOver, 16, FTW_PHYS) != 0) {
            fprintf(stderr, "floor: failed under %s\n", argv[i]);
            return 1;
        }
    }
    printf("%ld files\n", s_files);
    return 0;
}
