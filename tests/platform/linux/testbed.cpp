#include "testbed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef LARKIN_HAVE_UMOCKDEV
#include <umockdev.h>
#endif

namespace larkin::testing {

#ifdef LARKIN_HAVE_UMOCKDEV
struct Testbed::Bed {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    ~Bed() { g_object_unref(testbed); }
};

std::string Testbed::Unavailable() {
    // umockdev_in_mock_environment() keeps its first answer, given before
    // any testbed exists; the preload list says it plainly.
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload"))
        return "sysfs testbeds need umockdev's preload library: run the program under "
               "umockdev-wrapper (ctest does)";
    return {};
}

Testbed::Testbed() : bed_(std::make_unique<Bed>()) {}

void Testbed::Add(std::string_view description) {
    GError* error = nullptr;
    std::string text(description);
    if (!umockdev_testbed_add_from_string(bed_->testbed, text.c_str(), &error)) {
        ADD_FAILURE() << "umockdev rejects the testbed: " << (error ? error->message : "?");
        if (error) g_error_free(error);
    }
    LinkBlockNumbers(text);
}

// umockdev takes a block device for a character device unless its path has
// a "block" folder (NVMe namespaces have none): its /sys/dev/block entry is
// made here, as the kernel makes it.
void Testbed::LinkBlockNumbers(const std::string& text) {
    std::istringstream lines(text + "\n");
    std::string line, path, number;
    bool block = false;
    while (std::getline(lines, line)) {
        if (line.starts_with("P: ")) path = line.substr(3);
        if (line == "E: SUBSYSTEM=block") block = true;
        if (line.starts_with("A: dev=")) number = line.substr(7);
        if (!line.empty()) continue;
        std::string link = Root() + "/sys/dev/block/" + number;
        if (block && !number.empty() && !std::filesystem::is_symlink(link)) {
            std::filesystem::create_directories(Root() + "/sys/dev/block");
            std::filesystem::create_symlink("../.." + path, link);
        }
        path.clear();
        number.clear();
        block = false;
    }
}

std::string Testbed::Root() const {
    gchar* root = umockdev_testbed_get_root_dir(bed_->testbed);
    std::string text = root ? root : "";
    g_free(root);
    return text;
}
#else
struct Testbed::Bed {};

std::string Testbed::Unavailable() {
    return "umockdev was not found when the tests were built (scripts/install-deps installs "
           "umockdev and libumockdev-dev)";
}

Testbed::Testbed() = default;
void Testbed::Add(std::string_view) {}
void Testbed::LinkBlockNumbers(const std::string&) {}
std::string Testbed::Root() const {
    return {};
}
#endif

Testbed::~Testbed() = default;

std::string Testbed::Recording(std::string_view name) {
    std::string path = std::string(LARKIN_TESTBEDS) + "/" + std::string(name);
    std::ifstream file(path);
    if (!file) ADD_FAILURE() << "no testbed description " << path;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
    size_t at = text.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "the testbed has no \"" << from << "\"";
    for (; at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace larkin::testing
