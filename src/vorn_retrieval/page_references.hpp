// What the other pages of a collection say about each page: the words of
// the references pointing at it and of the sentence around each one.
//
// A user's question is often worded the way other pages introduce a topic
// ("use the subprocess module to start another program") rather than the
// way the topic's own page does; indexed with the page, those words reach
// it. This is anchor text, in web-search terms.
//
// References are read from the pages' own markup, whatever the format:
//   - links [text](target.md#frag), and HTML's <a href> as the loader
//     lists them beside the text;
//   - reStructuredText roles (:mod:`argparse`, :func:`os.link`, :ref:`label`,
//     :doc:`path`, "text <target>" forms) with `.. _label:` and
//     `.. module:: name` as targets;
//   - AsciiDoc xref:target[text], link:target[text], linkNAME:page[n] and
//     <<id,text>>, with [[id]] and [#id] as targets;
//   - in any text, a mention of another page's title when that title is a
//     name: two words or more (numbering left out), and used by few pages
//     (a phrase every page uses says nothing about the page it names).
// A target is a page's file name without its document extensions
// ("os.path" for os.path.rst.txt), a module the page declares or a label it
// defines; a dotted name resolves to its longest prefix that names a page
// ("os.path.join" -> os.path). References that resolve to no page, or to
// the page that makes them, are ignored.
//
// Each page's gathered text is capped so that a page that half the
// collection links to is not described by a flood of unrelated sentences;
// pages and their references are taken in the order given, so the result
// is deterministic.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_retrieval/document_formats.hpp"

namespace vorn_retrieval {

struct ReferencingPage {
  std::string file_name;  // the file's name ("argparse.rst.txt"); its stem names the page
  std::string_view text;  // as loaded (markup kept)
  std::string title;      // its own title, or empty
  std::span<const TextLink> links = {};  // links kept beside the text (HTML)
};

struct ReferenceLimits {
  std::size_t words_around = 10;   // words kept on each side of a reference, within its sentence
  std::size_t per_referrer = 2;    // references from one page to one target, at most
  std::size_t words_per_page = 160;  // gathered words per target page, at most
  // A title counts as a name when at most this share of the pages (and at
  // least 3) mention it.
  double title_page_share = 0.02;
};

// For each page (same order), the text other pages say about it; empty when
// no reference reaches it.
std::vector<std::string> gather_anchor_text(const std::vector<ReferencingPage>& pages,
                                            const ReferenceLimits& limits = {});

// "os.path" for "os.path.rst.txt", "git-reset" for "git-reset.adoc": the
// file name without the document extensions it ends with.
std::string page_stem(std::string_view file_name);

}  // namespace vorn_retrieval
