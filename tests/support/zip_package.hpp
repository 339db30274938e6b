// Zip packages built in memory for the office document and e-book readers:
// entries written as given, so a test can also build damaged or hostile ones.
// Link libzip into a test binary that includes this.
#pragma once

#include <zip.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorn_test_support {

struct ZipEntry {
  std::string name;
  std::string bytes;
  bool stored = false;     // not compressed
  bool encrypted = false;  // AES-256 with the password "secret"
};

inline std::string zip_package(const std::vector<ZipEntry>& entries) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  if (buffer == nullptr) throw std::runtime_error("zip buffer");
  zip_source_keep(buffer);  // read back after the archive is closed
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("zip open");
  for (const ZipEntry& e : entries) {
    zip_source_t* data = zip_source_buffer(archive, e.bytes.data(), e.bytes.size(), 0);
    const zip_int64_t index = zip_file_add(archive, e.name.c_str(), data, ZIP_FL_ENC_UTF_8);
    if (index < 0) throw std::runtime_error("zip add " + e.name);
    const auto at = static_cast<zip_uint64_t>(index);
    zip_set_file_compression(archive, at, e.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 9);
    if (e.encrypted) zip_file_set_encryption(archive, at, ZIP_EM_AES_256, "secret");
  }
  if (zip_close(archive) != 0) throw std::runtime_error("zip close");
  zip_stat_t stat;
  zip_source_stat(buffer, &stat);
  std::string out(static_cast<std::size_t>(stat.size), '\0');
  zip_source_open(buffer);
  zip_source_read(buffer, out.data(), stat.size);
  zip_source_close(buffer);
  zip_source_free(buffer);
  zip_error_fini(&error);
  return out;
}

// A Word document around the inside of <w:body>, with optional styles
// (the inside of <w:styles>) and title.
inline std::string docx_package(const std::string& body, const std::string& styles = "",
                                const std::string& title = "") {
  const std::string w = "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"";
  std::vector<ZipEntry> entries = {
      {"[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>"},
      {"word/document.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><w:document " + w +
                                "><w:body>" + body + "</w:body></w:document>"},
  };
  if (!styles.empty()) entries.push_back({"word/styles.xml", "<w:styles " + w + ">" + styles + "</w:styles>"});
  if (!title.empty()) {
    entries.push_back({"docProps/core.xml",
                       "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/"
                       "metadata/core-properties\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" +
                           title + "</dc:title></cp:coreProperties>"});
  }
  return zip_package(entries);
}

// An OpenDocument text around the inside of <office:text>, with optional
// automatic styles and title.
inline std::string odt_package(const std::string& text, const std::string& automatic_styles = "",
                               const std::string& title = "") {
  const std::string ns =
      "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
      "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
      "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
      "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"";
  std::vector<ZipEntry> entries = {
      {"mimetype", "application/vnd.oasis.opendocument.text", true},
      {"content.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content " + ns +
                          "><office:automatic-styles>" + automatic_styles +
                          "</office:automatic-styles><office:body><office:text>" + text +
                          "</office:text></office:body></office:document-content>"},
  };
  if (!title.empty()) {
    entries.push_back({"meta.xml", "<office:document-meta " + ns + "><office:meta><dc:title>" + title +
                                       "</dc:title></office:meta></office:document-meta>"});
  }
  return zip_package(entries);
}

// An EPUB book: its package document at `opf_path` (manifest and spine as
// given, inside <package>), pages and other entries as given.
inline std::string epub_package(const std::string& opf_path, const std::string& opf_inside,
                                std::vector<ZipEntry> entries) {
  entries.insert(entries.begin(),
                 {{"mimetype", "application/epub+zip", true},
                  {"META-INF/container.xml",
                   "<?xml version=\"1.0\"?><container version=\"1.0\" "
                   "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles><rootfile full-path=\"" +
                       opf_path + "\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>"},
                  {opf_path, "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" "
                             "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" version=\"3.0\">" +
                                 opf_inside + "</package>"}});
  return zip_package(entries);
}

}  // namespace vorn_test_support
