#include "image_folder.h"

#include <QDir>
#include <QStringList>

#include <cstdio>

#include "agreement_text.h"
#include "drives.h"
#include "image_catalog.h"

namespace larkin::cli {

namespace fe = larkin::frontend;

std::vector<BootImage> ListImages(const std::filesystem::path& imagesFolder,
                                  std::vector<std::string>* problems) {
    std::vector<BootImage> images;
    fe::ImageCatalog catalog;
    QStringList names;
    QString root = QString::fromStdString(imagesFolder.string());
    if (fe::LoadImageCatalog(root, catalog, names) != fe::CatalogLoad::Loaded) return images;
    if (problems)
        for (const QString& problem : catalog.problems) problems->push_back(problem.toStdString());
    for (int i = 0; i < catalog.Count(); ++i) {
        const fe::FileImageEntry& entry = catalog.rows[static_cast<std::size_t>(i)];
        QString folder = fe::FindEntry(root, entry.imageDir);
        if (folder.isEmpty()) continue;
        BootImage image;
        image.name = entry.imageName.toStdString();
        image.folder = folder.toStdString();
        image.holdsKernel = fe::HoldsKernel(folder);
        if (!fe::HasNoAgreement(entry)) {
            QString agreement = fe::FindEntry(folder, entry.eulaFile);
            // A named agreement that is not there is still an agreement: it
            // cannot be shown, so the image is not copied.
            image.agreement = agreement.isEmpty() ? (image.folder / entry.eulaFile.toStdString())
                                                  : std::filesystem::path(agreement.toStdString());
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::optional<BootImage> FindImage(const std::filesystem::path& imagesFolder,
                                   const std::string& name, std::string& why,
                                   std::vector<std::string>* problems) {
    std::error_code error;
    if (!std::filesystem::is_directory(imagesFolder, error)) {
        why = "there is no images folder " + imagesFolder.string() +
              " (--images DIR names the folder that holds the boot images)";
        return std::nullopt;
    }
    QString wanted = QString::fromStdString(name);
    std::string names;
    for (BootImage& image : ListImages(imagesFolder, problems)) {
        QString folder = QString::fromStdString(image.folder.filename().string());
        if (folder.compare(wanted, Qt::CaseInsensitive) == 0 ||
            QString::fromStdString(image.name).compare(wanted, Qt::CaseInsensitive) == 0)
            return image;
        names += (names.empty() ? "" : ", ") + image.folder.filename().string();
    }
    why = "no boot image " + name + " in " + imagesFolder.string() +
          (names.empty() ? " (it holds none)" : " (it holds " + names + ")");
    return std::nullopt;
}

bool AgreementText(const BootImage& image, std::string& text) {
    QByteArray content;
    QString why;
    if (fe::ReadImageFile(QString::fromStdString(image.agreement.string()), fe::kAgreementSizeLimit,
                          &content, &why) != 0) {
        text = why.toStdString();
        return false;
    }
    text = (fe::LooksLikeRichText(content) ? fe::RichTextToPlainText(content)
                                           : fe::DecodeSystemText(content))
               .toStdString();
    return true;
}

int AcceptAgreement(const BootImage& image, bool assumeYes) {
    if (image.agreement.empty()) return 0;
    std::string text;
    if (!AgreementText(image, text)) {
        std::fprintf(stderr, "larkin-cli: the agreement cannot be read: %s\n", text.c_str());
        return 6;
    }
    std::printf("\n%s\n\n", text.c_str());
    if (!Confirm("Do you accept this agreement?", assumeYes)) {
        std::printf("Nothing was changed.\n");
        return 6;
    }
    return 0;
}

}  // namespace larkin::cli
