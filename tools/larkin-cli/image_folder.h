// The boot images of File_Images as the desktop program reads them: finding
// one by name, its agreement as text, and copying its files onto a drive.
#ifndef LARKIN_CLI_IMAGE_FOLDER_H
#define LARKIN_CLI_IMAGE_FOLDER_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace larkin::cli {

struct BootImage {
    std::string name;                 // the name the catalogue shows
    std::filesystem::path folder;     // its folder of files
    std::filesystem::path agreement;  // empty when the image has none
    bool holdsKernel = false;         // the kernel the boot sector loads
};

// The images under imagesFolder; problems (may be null) receives a line for
// each description that could not be read.
std::vector<BootImage> ListImages(const std::filesystem::path& imagesFolder,
                                  std::vector<std::string>* problems = nullptr);
// The image whose folder or shown name is name (any letter case); without
// one, why says whether the folder or the image is missing.
std::optional<BootImage> FindImage(const std::filesystem::path& imagesFolder,
                                   const std::string& name, std::string& why,
                                   std::vector<std::string>* problems = nullptr);
// The agreement as plain text; false, with the line that says why in text,
// when it cannot be read (it must be a regular file, not a link).
bool AgreementText(const BootImage& image, std::string& text);
// Shows an image's agreement, if it has one, and asks for it to be accepted
// (assumeYes accepts it, the text still shown): 0, or 6 once it said why not.
int AcceptAgreement(const BootImage& image, bool assumeYes);

}  // namespace larkin::cli

#endif
