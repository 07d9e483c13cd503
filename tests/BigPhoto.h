// BigPhoto.h - what the kill tables of both systems share: image data a few
// 64 KiB blocks long, unlike itself shifted, and whether a photo is a mix,
// region by region, of its old and its new bytes. Header only, so that the
// Windows rows, which have no test kit, include it too.
#pragma once

#include <algorithm>
#include <string>

// 200,000 bytes that no shift of them matches.
inline std::string BigImageData()
{
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (char)(i * 7 % 251);
    }
    return data;
}

// Every 4 KiB region of `photo`, cut at the new size too, is old or new;
// its header FF D8 or 00 00; its size the old or the new one.
inline bool IsMix(const std::string& photo, const std::string& old, const std::string& now)
{
    if ((photo.size() != old.size() && photo.size() != now.size()) || photo.size() < 2 ||
        (photo.compare(0, 2, "\xFF\xD8") != 0 && photo.compare(0, 2, std::string(2, '\0')) != 0)) {
        return false;
    }
    for (size_t at = 2, end; at < photo.size(); at = end) {
        end = std::min((at / 4096 + 1) * 4096, at < now.size() ? now.size() : photo.size());
        if (photo.compare(at, end - at, old, at, end - at) != 0 &&
            (end > now.size() || photo.compare(at, end - at, now, at, end - at) != 0)) {
            return false;
        }
    }
    return true;
}
