#include "shell/paths.h"

#include <system_error>

#include "registry/machines/machine.h"
#include "shell/directories.h"

namespace fs = std::filesystem;

namespace qv::shell {

std::optional<fs::path> HostPath(std::string_view windowsPath) {
    const reg::Machine* m = currentMachine();
    if (!m)
        return std::nullopt;
    return m->hostPath(windowsPath);
}

std::optional<std::string> WindowsPathOf(const fs::path& host) {
    const reg::Machine* m = currentMachine();
    if (!m)
        return std::nullopt;
    return m->windowsPath(host);
}

void SetAttrNormal(const fs::path& file) {
    const auto st = fs::symlink_status(file);
    if (!fs::exists(st))
        throw fs::filesystem_error("no such file", file,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    if (fs::is_symlink(st))
        return;  // a link has no attributes of its own
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

void Kill(const fs::path& file) {
    if (fs::is_directory(fs::symlink_status(file)))
        throw fs::filesystem_error("is a directory", file,
                                   std::make_error_code(std::errc::is_a_directory));
    if (!fs::remove(file))
        throw fs::filesystem_error("no such file", file,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
}

}  // namespace qv::shell
