// libFuzzer target for the icon reader (shell/iconreader.*): the input is taken as a whole file
// (.ico, PE or NE) and, on its own, as one image. Crashes, hangs and sanitizer reports are found by
// libFuzzer; besides those it aborts when the reader breaks a promise it makes to its callers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "shell/iconreader.h"

namespace {

using namespace qv::shell;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "icon_fuzz: %s\n", what);
    std::abort();
}

void checkImage(const IconImage& image) {
    if (image.data.size() > kMaxGroupBytes) fail("image bytes above the group cap");
    auto dib = decodeDib(image.data);
    // A DIB with header info always decodes, with the size the header gave.
    if (image.info && !image.info->png) {
        if (!dib) fail("a DIB with info did not decode");
        if (dib->width != image.info->width || dib->height != image.info->height) fail("DIB size differs from its info");
    }
    if (dib) {
        if (dib->width < 1 || dib->height < 1 || dib->width > kMaxIconSide || dib->height > kMaxIconSide)
            fail("DIB size out of range");
        const auto pixels = static_cast<std::size_t>(dib->width) * static_cast<std::size_t>(dib->height);
        if (dib->color.size() != pixels || dib->mask.size() != pixels) fail("DIB planes of the wrong size");
    }
}

void checkGroup(const IconGroup& group) {
    if (group.images.size() > kMaxGroupImages) fail("too many images in a group");
    std::size_t bytes = 0;
    for (const auto& image : group.images) {
        checkImage(image);
        bytes += image.data.size();
    }
    if (bytes > kMaxGroupBytes) fail("group bytes above the cap");
    for (int size : {32, 16}) {
        const auto ranked = rankImages(group, size, size);
        const IconImage* picked = pickImage(group, size, size);
        if (ranked.empty() != (picked == nullptr)) fail("pickImage disagrees with rankImages");
        if (picked && picked != &group.images.at(ranked.front())) fail("pickImage is not the best ranked");
        for (std::size_t i : ranked)
            if (!group.images.at(i).info) fail("an image without info was ranked");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const int count = iconCount(bytes);
    if (count < 0) fail("negative count");
    const IconFileKind kind = iconFileKind(bytes);
    if (kind == IconFileKind::None && count != 0) fail("icons in a file of no known kind");
    if (kind == IconFileKind::Ico && count != 1) fail("an .ico is not one icon");

    // The first groups, the one just past the end, and a few ids.
    for (int index : {0, 1, 2, count - 1, count, -1, -2, -3, -14, -32512}) {
        auto group = iconGroup(bytes, index);
        if (!group) continue;
        if (index >= count && kind != IconFileKind::Ico) fail("a group past the count");
        if (index < 0 && kind != IconFileKind::Ico && group->id != -index) fail("a group of another id");
        checkGroup(*group);
    }

    IconImage whole;
    whole.data.assign(bytes.substr(0, std::min<std::size_t>(bytes.size(), kMaxGroupBytes)));
    whole.info = imageInfo(whole.data);
    checkImage(whole);
    return 0;
}
