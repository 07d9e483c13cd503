// TestFiles.h - building JPEG byte strings and temporary files for tests.
#pragma once

#include <string>
#include <vector>

// "\xFF\xD8".
std::string Soi();
// A segment: FF, the marker, the big-endian length of payload + 2, payload.
std::string Segment(unsigned char marker, const std::string& payload);
// A segment with an explicit length field (for damaged lengths).
std::string SegmentWithLength(unsigned char marker, unsigned length, const std::string& payload);
// Something that stands for the image data: a DQT segment and a few bytes.
std::string ImageData();

// A fresh, empty folder under the system's temporary folder; removed with
// everything in it by RemoveTree.
std::string MakeTempFolder();
// Whether `realPath` (links resolved) is a folder from MakeTempFolder or lies
// below one.
bool IsInTempFolder(const std::string& realPath);
// Runs `body` in a child process that, when this process is root, has
// become the unprivileged user nobody, so that permissions apply; returns
// its result (0..99), or -1 when the child could not drop root or failed.
int RunUnprivileged(int (*body)(const std::string&), const std::string& argument);
void RemoveTree(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> FolderNames(const std::string& path);
// Names in a folder in the order the system enumerates them, without "."
// and "..".
std::vector<std::string> EnumerationOrder(const std::string& path);
// Number of open file descriptors of this process.
int OpenDescriptorCount();
