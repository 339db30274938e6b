// A small valid PDF written byte by byte: one page per string, each shown in
// Helvetica; optionally a document title. Enough for poppler to read text
// and page numbers back. Strings must not hold '(', ')' or '\'.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vorn_test_support {

inline std::string minimal_pdf(const std::vector<std::string>& pages, const std::string& title = {}) {
  std::vector<std::string> objects;  // object i + 1
  const std::size_t font = 3 + 2 * pages.size();
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(3 + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 " +
                      std::to_string(font) + " 0 R >> >> /Contents " + std::to_string(4 + 2 * i) + " 0 R >>");
    const std::string stream = "BT /F1 12 Tf 72 720 Td (" + pages[i] + ") Tj ET";
    objects.push_back("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream");
  }
  objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  if (!title.empty()) objects.push_back("<< /Title (" + title + ") >>");

  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R";
  if (!title.empty()) pdf += " /Info " + std::to_string(objects.size()) + " 0 R";
  pdf += " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

}  // namespace vorn_test_support
