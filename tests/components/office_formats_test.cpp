// Office documents and e-books read as Markdown-shaped text: structure from styles,
// lists and tables, titles, and damaged or hostile packages refused with
// stable codes.
#include <gtest/gtest.h>

#include "component_support.hpp"
#include "vorn_retrieval/document_formats.hpp"
#include "vorn_retrieval/document_loader.hpp"
#include "zip_package.hpp"

namespace {

using namespace vorn_retrieval;
using vorn_test_support::docx_package;
using vorn_test_support::epub_package;
using vorn_test_support::odt_package;
using vorn_test_support::zip_package;

std::string p(const std::string& text, const std::string& props = "") {
  return "<w:p>" + (props.empty() ? "" : "<w:pPr>" + props + "</w:pPr>") + "<w:r><w:t xml:space=\"preserve\">" + text +
         "</w:t></w:r></w:p>";
}
std::string styled(const std::string& style, const std::string& text) {
  return p(text, "<w:pStyle w:val=\"" + style + "\"/>");
}
std::string item(int level, const std::string& text) {
  return p(text, "<w:numPr><w:ilvl w:val=\"" + std::to_string(level) + "\"/><w:numId w:val=\"3\"/></w:numPr>");
}
std::string style(const std::string& id, const std::string& name, const std::string& based_on = "") {
  return "<w:style w:type=\"paragraph\" w:styleId=\"" + id + "\"><w:name w:val=\"" + name + "\"/>" +
         (based_on.empty() ? "" : "<w:basedOn w:val=\"" + based_on + "\"/>") + "</w:style>";
}
std::string row(const std::vector<std::string>& cells) {
  std::string out = "<w:tr>";
  for (const std::string& c : cells) out += "<w:tc><w:tcPr/>" + c + "</w:tc>";
  return out + "</w:tr>";
}

struct DocxCase {
  std::string name;
  std::string body;
  std::string styles;
  std::string core_title;
  std::string text;
  std::string title;
};

class DocxTest : public ::testing::TestWithParam<DocxCase> {};

TEST_P(DocxTest, ReadsAsMarkdown) {
  const DocxCase& c = GetParam();
  const ExtractedText got = docx_to_text(docx_package(c.body, c.styles, c.core_title));
  EXPECT_EQ(got.text, c.text);
  EXPECT_EQ(got.title, c.title);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DocxTest,
    ::testing::Values(
        // Style ids are translated with the user interface; the names of
        // built-in styles are not.
        DocxCase{"HeadingsAndListsByStyle",
                 styled("berschrift1", "Install") +
                     "<w:p><w:r><w:t xml:space=\"preserve\">Run </w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>apt</w:t>"
                     "</w:r><w:r><w:t xml:space=\"preserve\"> install foo.</w:t></w:r></w:p>" +
                     styled("Mine", "Check") + item(0, "one") + item(1, "nested") + styled("ListBullet", "styled item"),
                 style("berschrift1", "heading 1") + style("Heading2", "heading 2") +
                     style("Mine", "My Heading", "Heading2") + style("ListBullet", "List Bullet"),
                 "Guide",
                 "# Install\n\nRun apt install foo.\n\n## Check\n\n- one\n\n  - nested\n\n- styled item", "Guide"},
        DocxCase{"TitleStyleAndOutlineLevelWithoutAStylesPart",
                 styled("Title", "Big") + p("Deep", "<w:outlineLvl w:val=\"2\"/>") + styled("Heading3", "Third") +
                     p("Body", "<w:outlineLvl w:val=\"9\"/>"),
                 "", "", "# Big\n\n### Deep\n\n### Third\n\nBody", "Big"},
        DocxCase{"TableRowsAndATitleThatIsNoHeading",
                 p("Intro.") + "<w:tbl><w:tblPr/>" + row({p("Name"), p("Qty"), p("")}) + row({p(""), p("")}) +
                     row({p("green") + p("apples"), p("3"), "<w:p/>"}) + "</w:tbl>" + p("After."),
                 "", "Report", "# Report\n\nIntro.\n\nName | Qty\ngreen apples | 3\n\nAfter.", "Report"},
        DocxCase{"WhatAReaderDoesNotSeeIsLeftOut",
                 "<w:sdt><w:sdtPr><w:docPartObj><w:docPartGallery w:val=\"Table of Contents\"/></w:docPartObj>"
                 "</w:sdtPr><w:sdtContent>" + p("Contents 1") + "</w:sdtContent></w:sdt>" +
                     "<w:p><w:r><w:t>Kept</w:t></w:r><w:del><w:r><w:delText>gone</w:delText></w:r></w:del>"
                     "<w:r><w:instrText> HYPERLINK x </w:instrText></w:r><w:r><w:t xml:space=\"preserve\"> text"
                     "</w:t><w:tab/><w:t>tabbed</w:t><w:br/><w:t>next line</w:t></w:r></w:p>"
                     "<w:p xmlns:mc=\"urn:mc\"><w:r><mc:AlternateContent><mc:Choice><w:drawing><w:txbxContent>" +
                     p("Boxed") + "</w:txbxContent></w:drawing></mc:Choice><mc:Fallback><w:pict><w:txbxContent>" +
                     p("Boxed") + "</w:txbxContent></w:pict></mc:Fallback></mc:AlternateContent></w:r>"
                     "<w:r><w:t>Anchor</w:t></w:r></w:p>" + styled("TOC1", "Install 3"),
                 style("TOC1", "toc 1"), "", "Kept text tabbed\nnext line\n\nAnchor\n\nBoxed", ""}),
    [](const auto& info) { return info.param.name; });

// A valid package whose document part is stored uncompressed, so one of
// its bytes can be damaged in place.
std::string stored_docx(const std::string& marker) {
  return zip_package({{"word/document.xml", "<w:document xmlns:w=\"urn:w\"><w:body>" + p(marker) +
                                                "</w:body></w:document>", true}});
}

std::string damaged_byte(std::string bytes, const std::string& marker) {
  bytes[bytes.find(marker)] ^= 0x20;
  return bytes;
}

std::string document(const std::string& inside) {
  return "<w:document xmlns:w=\"urn:w\"><w:body>" + inside + "</w:body></w:document>";
}

struct HostileCase {
  std::string name;
  std::string bytes;
  std::string code;
  std::size_t limit = kDefaultMaxUnpackedBytes;
};

class HostileDocxTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileDocxTest, IsALoadErrorWithItsCode) {
  try {
    (void)docx_to_text(GetParam().bytes, GetParam().limit);
    ADD_FAILURE() << "accepted";
  } catch (const LoadError& e) {
    EXPECT_EQ(e.code(), GetParam().code) << e.what();
  }
}

std::string nested(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "<w:sdt><w:sdtContent>";
    close += "</w:sdtContent></w:sdt>";
  }
  return open + p("deep") + close;
}

const std::string kLaughs =
    "<?xml version=\"1.0\"?><!DOCTYPE w:document [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
    "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>" +
    document("<w:p><w:r><w:t>&c;</w:t></w:r></w:p>");

INSTANTIATE_TEST_SUITE_P(
    Packages, HostileDocxTest,
    ::testing::Values(
        HostileCase{"NotAZip", "plain words, no archive", load_errc::kFormat},
        HostileCase{"Empty", "", load_errc::kFormat},
        HostileCase{"Truncated", docx_package(p("text")).substr(0, 90), load_errc::kFormat},
        // Only the part of that exact name is read.
        HostileCase{"PartOnlyUnderOtherNames",
                    zip_package({{"../word/document.xml", document(p("a"))},
                                 {"/word/document.xml", document(p("b"))},
                                 {"Word/Document.xml", document(p("c"))}}),
                    load_errc::kFormat},
        HostileCase{"DamagedBytes", damaged_byte(stored_docx("CHECKSUMMED"), "CHECKSUMMED"), load_errc::kFormat},
        HostileCase{"Encrypted", zip_package({{"word/document.xml", document(p("x")), false, true}}),
                    load_errc::kFormat},
        HostileCase{"CompressionBomb",
                    zip_package({{"word/document.xml", document(std::string(std::size_t{4} << 20U, ' '))}}),
                    load_errc::kTooLarge, std::size_t{1} << 20U},
        // The parts together count, not each on its own.
        HostileCase{"PartsTogetherOverTheLimit",
                    zip_package({{"word/document.xml", document(std::string(600 << 10, ' '))},
                                 {"word/styles.xml", "<w:styles>" + std::string(600 << 10, ' ') + "</w:styles>"}}),
                    load_errc::kTooLarge, std::size_t{1} << 20U},
        HostileCase{"EntityExpansion", zip_package({{"word/document.xml", kLaughs}}), load_errc::kFormat},
        HostileCase{"NotWellFormed", zip_package({{"word/document.xml", "<w:document><w:body><w:p>"}}),
                    load_errc::kFormat},
        HostileCase{"NestedTooDeep", zip_package({{"word/document.xml", document(nested(5000))}}),
                    load_errc::kFormat},
        HostileCase{"DamagedStylesPart", docx_package(p("text"), "<w:style>"), load_errc::kFormat}),
    [](const auto& info) { return info.param.name; });

struct OdtCase {
  std::string name;
  std::string body;
  std::string automatic_styles;
  std::string meta_title;
  std::string text;
  std::string title;
};

class OdtTest : public ::testing::TestWithParam<OdtCase> {};

TEST_P(OdtTest, ReadsAsMarkdown) {
  const OdtCase& c = GetParam();
  const ExtractedText got = odt_to_text(odt_package(c.body, c.automatic_styles, c.meta_title));
  EXPECT_EQ(got.text, c.text);
  EXPECT_EQ(got.title, c.title);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, OdtTest,
    ::testing::Values(
        OdtCase{"HeadingsAndNestedLists",
                "<text:h text:outline-level=\"1\">Setup</text:h>"
                "<text:p>Run<text:s text:c=\"3\"/>the\n   <text:span>installer</text:span>.<text:note>"
                "<text:note-citation>1</text:note-citation><text:note-body><text:p>A footnote</text:p></text:note-body>"
                "</text:note></text:p><text:h text:outline-level=\"2\">Steps</text:h>"
                "<text:list><text:list-item><text:p>first</text:p><text:list><text:list-item><text:p>inner</text:p>"
                "</text:list-item></text:list></text:list-item><text:list-item><text:p>second</text:p>"
                "<text:p>more on second</text:p></text:list-item></text:list>"
                "<text:list><text:list-item><text:h text:outline-level=\"9\">Deep</text:h></text:list-item>"
                "</text:list>",
                "", "Handbook",
                "# Setup\n\nRun the installer.\n\n## Steps\n\n- first\n\n  - inner\n\n- second\n\nmore on second\n\n"
                "###### Deep",
                "Handbook"},
        OdtCase{"TablesTitleStyleAndWhatIsLeftOut",
                "<text:tracked-changes><text:changed-region><text:deletion><text:p>removed</text:p></text:deletion>"
                "</text:changed-region></text:tracked-changes><text:p text:style-name=\"P1\">Overview</text:p>"
                "<text:table-of-content><text:index-body><text:p>Overview 1</text:p></text:index-body>"
                "</text:table-of-content><table:table><table:table-header-rows><table:table-row>"
                "<table:table-cell><text:p>Name</text:p></table:table-cell><table:table-cell><text:p>Qty</text:p>"
                "</table:table-cell></table:table-row></table:table-header-rows><table:table-row>"
                "<table:table-cell><text:p>pears</text:p></table:table-cell><table:table-cell><text:p>7</text:p>"
                "</table:table-cell><table:covered-table-cell/><table:table-cell "
                "table:number-columns-repeated=\"1000000000\"/></table:table-row></table:table>"
                "<text:p>Line one<text:line-break/>line two<office:annotation><text:p>comment</text:p>"
                "</office:annotation></text:p><text:p><draw:frame><draw:text-box><text:p>Boxed</text:p>"
                "</draw:text-box></draw:frame>Anchor</text:p>",
                "<style:style style:name=\"P1\" style:parent-style-name=\"Title\"/>", "",
                "# Overview\n\nName | Qty\npears | 7\n\nLine one\nline two\n\nAnchor\n\nBoxed", "Overview"}),
    [](const auto& info) { return info.param.name; });

std::string xhtml(const std::string& title, const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" +
         title + "</title></head><body>" + body + "</body></html>";
}

const std::string kBookManifest =
    "<manifest><item id=\"c2\" href=\"Text/chapter%202.xhtml\" media-type=\"application/xhtml+xml\"/>"
    "<item id=\"c1\" href=\"Text/one.xhtml#start\" media-type=\"application/xhtml+xml\"/>"
    "<item id=\"css\" href=\"style.css\" media-type=\"text/css\"/>"
    "<item id=\"tp\" href=\"Text/title.xhtml\" media-type=\"application/xhtml+xml\"/>"
    "<item id=\"out\" href=\"../../secret.xhtml\" media-type=\"application/xhtml+xml\"/>"
    "<item id=\"gone\" href=\"Text/missing.xhtml\" media-type=\"application/xhtml+xml\"/></manifest>"
    "<spine><itemref idref=\"tp\"/><itemref idref=\"c1\"/><itemref idref=\"css\"/><itemref idref=\"out\"/><itemref idref=\"gone\"/>"
    "<itemref idref=\"nosuch\"/><itemref idref=\"c2\"/></spine>";

const std::vector<vorn_test_support::ZipEntry> kBookPages = {
    {"OEBPS/Text/chapter 2.xhtml", xhtml("My Book", "<h1>Chapter Two</h1><h2>A section</h2><p>It goes&nbsp;on.</p>")},
    {"OEBPS/Text/one.xhtml", xhtml("My Book", "<h1>Chapter One</h1><p>It begins.</p>")},
    {"OEBPS/Text/title.xhtml", xhtml("My Book", "<h1>My Book</h1>")},
    {"OEBPS/style.css", "p { color: red }"},
    {"secret.xhtml", xhtml("", "<p>outside the book</p>")},
};

TEST(EpubText, SpineOrderUnderTheBookTitle) {
  const ExtractedText book = epub_to_text(epub_package(
      "OEBPS/content.opf", "<metadata><dc:title>My Book</dc:title></metadata>" + kBookManifest, kBookPages));
  EXPECT_EQ(book.title, "My Book");
  EXPECT_EQ(book.text,
            "# My Book\n\n## Chapter One\n\nIt begins.\n\n## Chapter Two\n\n### A section\n\nIt goes\xC2\xA0on.");

  // Without a title of its own the book keeps its chapters' levels.
  const ExtractedText untitled = epub_to_text(epub_package("OEBPS/content.opf", kBookManifest, kBookPages));
  EXPECT_EQ(untitled.title, "My Book");
  EXPECT_EQ(untitled.text, "# My Book\n\n# Chapter One\n\nIt begins.\n\n# Chapter Two\n\n## A section\n\nIt goes\xC2\xA0on.");
}

TEST(EpubText, BrokenPackagesAreFormatErrorsAndRepeatedPagesCount) {
  const auto code_of = [](const std::string& bytes) {
    try {
      (void)epub_to_text(bytes, std::size_t{1} << 20U);
    } catch (const LoadError& e) {
      return std::string(e.code());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(code_of(epub_package("content.opf", "<metadata>", {})), load_errc::kFormat);
  EXPECT_EQ(code_of(zip_package({{"META-INF/container.xml",
                                  "<container><rootfiles><rootfile full-path=\"nowhere.opf\"/></rootfiles>"
                                  "</container>"}})),
            load_errc::kFormat);
  // One small page listed a thousand times unpacks a thousand times.
  std::string spine = "<manifest><item id=\"p\" href=\"p.xhtml\" media-type=\"application/xhtml+xml\"/></manifest>"
                      "<spine>";
  for (int i = 0; i < 1000; ++i) spine += "<itemref idref=\"p\"/>";
  EXPECT_EQ(code_of(epub_package("content.opf", spine + "</spine>",
                                 {{"p.xhtml", xhtml("", "<p>" + std::string(4096, 'x') + "</p>")}})),
            load_errc::kTooLarge);
}

// What every package format shares: damage and bombs are refused the same way.
struct PackageFormat {
  std::string name;
  ExtractedText (*convert)(std::string_view, std::size_t);
  std::string main_part;
  std::string (*wrap)(const std::string& inside);  // a well-formed main part around `inside`
};

class EveryPackageFormat : public ::testing::TestWithParam<PackageFormat> {};

TEST_P(EveryPackageFormat, RefusesDamageAndBombsWithStableCodes) {
  const PackageFormat& f = GetParam();
  const auto code_of = [&](const std::string& bytes) {
    try {
      (void)f.convert(bytes, std::size_t{1} << 20U);
    } catch (const LoadError& e) {
      return std::string(e.code());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(code_of("PK\x03\x04 but no archive"), load_errc::kFormat);
  EXPECT_EQ(code_of(zip_package({{"other.xml", f.wrap("")}})), load_errc::kFormat);
  EXPECT_EQ(code_of(zip_package({{f.main_part, f.wrap(std::string(std::size_t{2} << 20U, ' '))}})),
            load_errc::kTooLarge);
  EXPECT_EQ(code_of(zip_package({{f.main_part, "<!DOCTYPE x [<!ENTITY e \"e\">]>" + f.wrap("&e;")}})),
            load_errc::kFormat);
  EXPECT_EQ(code_of(zip_package({{f.main_part, f.wrap("<unclosed>")}})), load_errc::kFormat);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, EveryPackageFormat,
    ::testing::Values(PackageFormat{"Docx", &docx_to_text, "word/document.xml",
                                    [](const std::string& in) { return document(in); }},
                      PackageFormat{"Odt", &odt_to_text, "content.xml",
                                    [](const std::string& in) {
                                      return "<office:document-content xmlns:office=\"urn:o\"><office:body>"
                                             "<office:text>" + in + "</office:text></office:body>"
                                             "</office:document-content>";
                                    }},
                      PackageFormat{"Epub", &epub_to_text, "META-INF/container.xml",
                                    [](const std::string& in) {
                                      return "<container><rootfiles>" + in +
                                             "<rootfile full-path=\"content.opf\"/></rootfiles></container>";
                                    }}),
    [](const auto& info) { return info.param.name; });

std::string utf16le(const std::string& ascii_or_latin1) {
  std::string out = "\xFF\xFE";
  for (const char c : ascii_or_latin1) (out += c) += '\0';
  return out;
}

// UTF-16 parts are allowed; their encoding must not hide a declaration from
// the check for entities, nor may a declared encoding.
TEST(XmlParts, Utf16IsReadAndDeclarationsCannotHideInAnotherEncoding) {
  const std::string doc = utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + document(p("caf\xE9")));
  EXPECT_EQ(docx_to_text(zip_package({{"word/document.xml", doc}})).text, "caf\xC3\xA9");
  for (const std::string& hidden :
       {utf16le("<?xml version=\"1.0\"?><!DOCTYPE w:document [<!ENTITY e \"x\">]>" + document(p("&e;"))),
        std::string("<?xml version=\"1.0\" encoding=\"UTF-7\"?>+ADw-!DOCTYPE w:document +AFs-+ADw-!ENTITY e "
                    "+ACI-x+ACIAPgBdAD4-") + document(p("&e;"))}) {
    try {
      (void)docx_to_text(zip_package({{"word/document.xml", hidden}}));
      ADD_FAILURE() << "accepted";
    } catch (const LoadError& e) {
      EXPECT_EQ(e.code(), load_errc::kFormat);
    }
  }
}

TEST(PackageLoading, LoaderReadsThemAsMarkdownAndLimitsWhatTheyUnpack) {
  vorn_components_test::TempDir dir;
  const auto file = dir.write("Report.DOCX", docx_package(styled("Heading1", "Plan") + p("Ship it."), "", "Q3"));
  const Document doc = DocumentLoader().load_file(file, "Report.DOCX");
  EXPECT_EQ(doc.type, FileType::word_document);
  EXPECT_TRUE(doc.markdown);
  EXPECT_EQ(doc.title, "Q3");
  EXPECT_EQ(doc.text, "# Plan\n\nShip it.");
  const auto odt = dir.write("notes.odt", odt_package("<text:p>Line</text:p>", "", "Notes"));
  const Document notes = DocumentLoader().load_file(odt, "notes.odt");
  EXPECT_EQ(notes.type, FileType::open_document);
  EXPECT_EQ(notes.text, "# Notes\n\nLine");
  const auto epub = dir.write("book.epub", epub_package("book.opf",
                                                        "<manifest><item id=\"a\" href=\"a.html\"/></manifest>"
                                                        "<spine><itemref idref=\"a\"/></spine>",
                                                        {{"a.html", "<p>Once upon a time.</p>"}}));
  const Document book = DocumentLoader().load_file(epub, "book.epub");
  EXPECT_EQ(book.type, FileType::epub_book);
  EXPECT_EQ(book.text, "Once upon a time.");

  // A file far below the size limit may still unpack to far more.
  LoaderOptions small;
  small.max_file_bytes = 64 << 10;
  const auto bomb = dir.write("bomb.docx", docx_package(p(std::string(1 << 20, 'a'))));
  try {
    (void)DocumentLoader(small).load_file(bomb, "bomb.docx");
    ADD_FAILURE() << "accepted";
  } catch (const LoadError& e) {
    EXPECT_EQ(e.code(), load_errc::kTooLarge);
    EXPECT_NE(std::string(e.what()).find("bomb.docx"), std::string::npos) << e.what();
  }
}

}  // namespace
