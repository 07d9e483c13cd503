// floor.cpp - the unavoidable work of cleaning a tree, as a yardstick:
// for every regular file under the given folders, stat it, read it whole
// with one read, write it whole to a new file beside it in 64 KiB blocks,
// and rename the new file over the original. No parsing, no checks beyond
// the system calls' results.
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
    if (close(out) != 0 || rename(temp.c_str(), path) != 0) {
        return 1;
    }
    s_files++;
    return 0;
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        if (nftw(argv[i], CopyOver, 16, FTW_PHYS) != 0) {
            fprintf(stderr, "floor: failed under %s\n", argv[i]);
            return 1;
        }
    }
    printf("%ld files\n", s_files);
    return 0;
}
