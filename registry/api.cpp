#include "registry/api.h"

namespace qv::reg {

std::string statusText(int32_t status) {
    switch (status) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory.";
    case ERROR_INVALID_DATA: return "The data is invalid.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_BAD_PATHNAME: return "The key path has an empty component.";
    case ERROR_FILENAME_EXCED_RANGE:
        return "A name is too long (at most 255 characters for a key name, 16383 for a value name).";
    case ERROR_MORE_DATA: return "More data is available.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case ERROR_KEY_DELETED: return "The key has been marked for deletion.";
    default: return "Registry error " + std::to_string(status) + ".";
    }
}

}  // namespace qv::reg
