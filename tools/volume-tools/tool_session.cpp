#include "tool_session.h"

namespace larkin::volumetools {

Outcome ToolSession::Open(std::string_view root, const char* tool, bool write) {
    Close();
    std::string name(root);
    handle_ = LarkinOpenVolumeForTool(name.c_str(), tool, write ? TRUE : FALSE, &where_);
    if (handle_ != INVALID_HANDLE_VALUE) return {};
    DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    // A letter that names no volume is, to a Windows tool, a drive that does
    // not exist.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_PARAMETER)
        error = kErrorInvalidDrive;
    return {error, ErrorText(error)};
}

void ToolSession::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

std::string ToolSession::MtoolsImage() const {
    return std::string(where_.path) + "@@" + std::to_string(where_.offset);
}

const std::vector<std::string>& MtoolsEnvironment() {
    static const std::vector<std::string> environment = {
        "MTOOLS_SKIP_CHECK=1", "MTOOLS_NO_VFAT=0", "MTOOLS_LOWER_CASE=0", "MTOOLSRC=/dev/null"};
    return environment;
}

std::string FirstLine(std::string_view output) {
    while (!output.empty() && (output.front() == '\n' || output.front() == '\r'))
        output.remove_prefix(1);
    auto end = output.find_first_of("\r\n");
    return std::string(output.substr(0, end));
}

std::vector<std::string> Lines(std::string_view output) {
    std::vector<std::string> lines;
    while (!output.empty()) {
        size_t end = output.find('\n');
        lines.emplace_back(output.substr(0, end));
        if (end == std::string_view::npos) break;
        output.remove_prefix(end + 1);
    }
    return lines;
}

}  // namespace larkin::volumetools
