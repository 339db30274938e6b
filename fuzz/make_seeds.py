#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/.

The seeds follow the byte layout each harness decodes (see
value_from_bytes.hpp), so the fuzzer starts from inputs that reach deep into
the code instead of stopping at the first "unsupported data" check. Run it
again after changing a harness's layout.
"""
import json
import os

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
WORDS = ["id", "content", "metadata", "score", "selected_chunks", "is_sufficient", "query", "sub_query", "route",
         "sub_queries", "routing_plan", "top_k", "initial_top_k", "round_idx", "max_rounds", "selected_chunk_limit",
         "candidate_chunks", "evaluation", "chunks", "user_query", "response", "relevant", "queries", "true",
         "false", "1", "0", "", "\xff\xfe", "'\\\"", "None"]


def word(w):  # a dictionary string
    return bytes([WORDS.index(w)])


def raw(s):  # a string of raw bytes
    b = s.encode() if isinstance(s, str) else s
    return bytes([200, len(b)]) + b


NONE = b"\x00"
TRUE = b"\x01\x01"
FALSE = b"\x01\x00"


def integer(sel, value=0):
    return b"\x02" + bytes([sel]) + (value.to_bytes(8, "big", signed=True) if sel >= 5 else b"")


def text(s):
    return b"\x04" + (word(s) if s in WORDS else raw(s))


def lst(*items):
    return b"\x05" + bytes([len(items)]) + b"".join(items)


def dct(*pairs):
    return b"\x06" + bytes([len(pairs)]) + b"".join((word(k) if k in WORDS else raw(k)) + v for k, v in pairs)


def chunk(cid, content="text"):
    return b"\x07" + raw(cid) + raw(content) + b"\x00" + b"\x00"


def oneshot(*items):
    return b"\x08" + bytes([len(items)]) + b"".join(items)


def write(target, name, data):
    os.makedirs(os.path.join(ROOT, target), exist_ok=True)
    with open(os.path.join(ROOT, target, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


# ---- values ------------------------------------------------------------------
selection = dct(("selected_chunks", lst(chunk("a"), chunk("b"), dct(("id", text("c"))))))
evaluation = dct(("is_sufficient", TRUE))
route = dct(("sub_query", text("q")), ("route", text("docs")))
state = dct(("query", text("q")), ("top_k", integer(1)), ("candidate_chunks", lst(chunk("a"))),
            ("evaluation", evaluation))
for i, (which, value) in enumerate([(0, selection), (1, evaluation), (2, state), (3, route),
                                    (4, dct(("query", text("q")), ("sub_queries", lst(text("a"))),
                                            ("routing_plan", lst(route)))),
                                    (5, dct(("user_query", text("q")), ("top_k", integer(3))))]):
    write("record_validation", f"seed-{i}", bytes([which]) + value)

for i, (which, value) in enumerate([(0, lst(text("a"), text("b"))), (0, oneshot(text("a"), text("q"))),
                                    (0, text("q")), (1, selection), (1, lst(chunk("x"))), (2, evaluation),
                                    (2, dct(("is_sufficient", text("true")))), (3, lst(chunk("a"), chunk("a")))]):
    write("block_normalization", f"seed-{i}", bytes([which]) + value)

# ---- fusion ------------------------------------------------------------------
write("fusion", "seed-0", bytes([3, 4, 1, 2, 3, 4, 3, 1, 1, 0, 2, 9, 0, 1]) + b"\x00\x01\x01\x00\x01")
write("fusion", "seed-1", bytes([2, 0xFF, 10, 5, 1, 2, 0xFE, 3, 4]) + b"\x01\x01\x00\x01")
write("fusion", "seed-2", bytes([1, 16] + [0] * 16) + b"\x05" + (-1).to_bytes(8, "big", signed=True) + b"\x02")

# ---- model answers -----------------------------------------------------------
answers = ['{"relevant": ["1"]}', '{"queries": ["fusion", "rank fusion"]}', '{"route": "docs"}',
           '```json\n{"route": "code"}\n```', '{"relevant": [1, "2", null]}', '[' * 80 + ']' * 80,
           '{"queries": "not a list"}', '"just text"', '{"route": {"name": "docs"}}', 'Sure! {"route": "docs"}']
for i, a in enumerate(answers):
    write("structured_output", f"seed-{i}", bytes([i * 37 % 256]) + a.encode())

KEY = "sk-fuzz-0123456789abcdef"
chat = {"id": "c1", "model": "m", "choices": [{"message": {"role": "assistant", "content": '{"answer": 4}'},
                                               "finish_reason": "stop"}], "usage": {"total_tokens": 3}}
embed = {"data": [{"index": 1, "embedding": [0.5]}, {"index": 0, "embedding": [1.0]}]}
bodies = [(0, json.dumps(chat)), (0, json.dumps(embed)), (4, json.dumps({"error": {"message": "bad key " + KEY}})),
          (9, json.dumps({"detail": "down"})), (0, "<html>proxy " + KEY + "</html>"),
          (0, json.dumps({"choices": [{"message": {"content": [{"text": "a"}, {"text": "b"}]}}]})),
          (0, json.dumps({"choices": [{"message": {"refusal": "no"}}]})), (8, "")]
for i, (status, body) in enumerate(bodies):
    write("http_response", f"seed-{i}", bytes([status, 0, 0, 0x05 if i % 2 else 0x44]) + body.encode())
# Streamed (server-sent event) chat replies; the second raw status byte sets
# the piece size the harness feeds them in.
def sse(*events):
    return "".join("data: " + (e if isinstance(e, str) else json.dumps(e)) + "\n\n" for e in events)
delta = lambda text: {"choices": [{"index": 0, "delta": {"content": text}}]}
streams = [sse(delta("The "), delta("answer."), {"choices": [{"delta": {}, "finish_reason": "stop"}]}, "[DONE]"),
           ": ping\r\n\r\n" + sse(delta("x")).replace("\n", "\r\n") + "data: [DONE]",
           sse({"error": {"message": "overloaded " + KEY}}),
           "data: {\"choices\": [{\"delta\": {\"content\": \"multi\"}}]\ndata: }\n\nevent: x\nid: 3\n\n",
           sse(delta("k"), {"choices": [], "usage": {"total_tokens": 2}}, "[DONE]", "after done")]
for i, body in enumerate(streams):
    write("http_response", f"seed-{len(bodies) + i}", bytes([0, 0, 1 + i * 3, 0x44]) + body.encode())
# Rerank replies; bits 3-5 of the flags byte give the document count minus
# one, bits 6-7 how many scores are asked for at least.
reranks = [(0x10, {"results": [{"index": 2, "relevance_score": 0.9}, {"index": 0, "relevance_score": 0.1},
                               {"index": 1, "relevance_score": 0.5, "document": {"text": "x"}}]}),
           (0x48, [{"index": 1, "score": 3}, {"index": 0, "score": -1.5}]),
           (0x90, {"results": [{"index": 0, "relevance_score": "1"}, {"index": 0, "score": 1e308}]})]
first = len(bodies) + len(streams)
for i, (flags, body) in enumerate(reranks):
    write("http_response", f"seed-{first + i}", bytes([0, 0, 0, flags]) + json.dumps(body).encode())

# ---- documents ---------------------------------------------------------------
docs = [(40, 8, 1, "# Title\n\nIntro text.\n\n## Install\n\n```sh\napt-get install x\n```\n\nMore text here.\n"),
        (20, 5, 0, "Plain text. Two sentences here.\n\nA second paragraph with words."),
        (10, 3, 0, "naïve café façade — Ünïcödé 日本語 🎉 " * 5),
        (15, 2, 1, "```\nunterminated fence\n" + "code line\n" * 10),
        (7, 1, 0, "bad \xff\xfe utf8 \xc3 cut"),
        (30, 0, 1, "Setext\n======\n\ntext\n\n  # not a heading?\n#NoSpace\n"),
        (25, 4, 2, "OPTIONS\n-------\n-q::\n--quiet::\n\tPrint nothing.\n\n--all::\n\tEvery row.\n+\nMore.\n::\nx::\n")]
for i, (size, overlap, md, text_) in enumerate(docs):
    data = text_.encode("latin-1") if i == 4 else text_.encode()
    write("text_chunker", f"seed-{i}", bytes([size, overlap, md]) + data)

queries = [(5, 0, "rank fusion"), (3, 1, "BM25 store chunks"), (0xFF, 0, '"quoted" AND NOT col:value NEAR(a b) *'),
           (4, 2, "naive cafe diacritics"), (2, 0, "the and of"), (6, 0, "\x00\xff\xfe 日本語"),
           (1, 2, "x")]
for i, (k, f, q) in enumerate(queries):
    extra = (b"\x81\x01\x22" if i == 6 else b"")
    write("bm25_query", f"seed-{i}", bytes([k, f]) + extra + q.encode("utf-8", "surrogateescape"))

argvs = ["ask\nHow does fusion work?", "index\n--no-progress\ndocs", "describe\n--strategy\ncrag",
         "ask\nWhat does CRAG do?\n--json\n--trace\n--strategy\nagentic", "--store\nx.db\nask\nq",
         "ask\nq\n--top-k\n9223372036854775807", "--dimension\n0\nindex\ndocs", "ask\nq\n--retriever\nbm25\n--strategy\nrouted",
         "index\n--chunk-size\n1\n--chunk-overlap\n0\ndocs/fusion.md", "--help", "ask", "--store\ndocs\nask\nq"]
for i, a in enumerate(argvs):
    write("cli_args", f"seed-{i}", a)

# ---- extractive answers: question (length first), passage count, then per passage its page and text ----
answer_seeds = [
    ("How do I copy a directory?", [(0, "# Copy\n\nUse cp -r to copy a directory. It keeps the tree."),
                                    (1, "to be read later: a tail. Then a sentence about copying.")]),
    ("which package?", [(0, "Some packages follow.\n\n|package |popcon |description |\n\n|mc |V:54 |file manager |"),
                        (0, "Table of Contents\n  1.1._Copy\n  1.2._Move\n  1.3._Remove")]),
    ("undo commit", [(2, "Release Notes\nVersion 2.1\nFixed undo.\nv2.0: added commit"),
                     (1, "- [Undo](undo.md)\n- [Commit](commit.md)\n- [Log](log.md)"),
                     (2, "linkgit:git-reset[1],\nxref:undo[Undo]\n<<faq,FAQ>>")]),
    ("start a thread pool", [(0, "Start a thread pool. ::\n\n   pool.start()\n\n.. index::\n   single: pool\n"),
                             (1, ".. code-block:: python\n   :linenos:\n\n   t = Thread()\n\n>>> pool.map(f, xs)\n[1]\n"),
                             (2, "A thread pool starts its threads at once. | ``pool`` | the *pool* |\n1024). tail")]),
    ("mean of data", [(0, "=====  =====\nName   Use\n=====  =====\nmean   Average\n       of data.\n=====  =====\n"),
                      (1, "| ``ANY`` | when any |\n|         | ends.    |\n+---------+----------+\n| a | b |\n+==+\n"),
                      (2, "    * Link\n\n          o Second name\ndata, so the mean ends.")]),
]
for i, (question, passages) in enumerate(answer_seeds):
    data = bytes([len(question)]) + question.encode() + bytes([len(passages) - 1])
    for k, (page, text) in enumerate(passages):
        body = text.encode()
        data += bytes([page]) + (bytes([len(body)]) + body if k + 1 < len(passages) else body)
    write("extractive_answer", f"seed-{i}", data)

# ---- serve and MCP request bodies (first byte: 0 ask, 1 search, 2 chat, 3 MCP) ----
serve = [(0, {"question": "How does fusion work?", "top_k": 3, "strategy": "crag", "trace": True}),
         (0, {"question": "q", "filter": {"source": "docs/a.md", "n": 2.0, "ok": True}, "top_k": 5.0}),
         (0, '{"question": "\\ud800 lone surrogate"}'), (0, '{"question": 1e400, "top_k": -0}'),
         (1, {"query": "rank fusion", "retriever": "bm25", "top_k": 100}),
         (1, {"query": "x", "filter": {"a\"b": 1}}),
         (2, {"model": "vorn-rag", "stream": True, "messages": [
             {"role": "system", "content": "be brief"}, {"role": "user", "content": "How do I enable the cache?"},
             {"role": "assistant", "content": "Set it."}, {"role": "user", "content": "and undo it?"}]}),
         (2, {"model": "naive", "messages": [{"role": "user", "content": [
             {"type": "text", "text": "a"}, {"type": "image_url", "image_url": {"url": "x"}}]}]}),
         (3, {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"protocolVersion": "2024-11-05"}}),
         (3, {"jsonrpc": "2.0", "id": "a", "method": "tools/call",
              "params": {"name": "ask", "arguments": {"question": "why?", "top_k": 2}}}),
         (3, {"jsonrpc": "2.0", "id": 2, "method": "tools/call",
              "params": {"name": "search", "arguments": {"query": "q", "filter": {"source": "x"}}}}),
         (3, {"jsonrpc": "2.0", "method": "notifications/initialized"}), (3, [{"jsonrpc": "2.0", "id": 3}])]
for i, (kind, body) in enumerate(serve):
    text_ = body if isinstance(body, str) else json.dumps(body)
    write("serve_request", f"seed-{i}", bytes([kind]) + text_.encode())

# ---- pages that refer to each other: "name\ntitle\ntext" separated by 0x1E ----
reference_seeds = [
    ["argparse.rst.txt\nargparse\n.. module:: argparse\n\nParser for options.\n",
     "howto.rst\nHowto\nTo read what was typed use :mod:`argparse` or :func:`os.path.join` and :ref:`x <lbl>`.\n",
     "labels.rst\nLabels\n.. _lbl:\n\nA target.\n"],
    ["git-reset.adoc\ngit-reset(1)\n[[soft]]\nMoves HEAD.\n",
     "faq.adoc\nFAQ\nUndo the last commit with linkgit:git-reset[1] or <<soft,the soft mode>> and xref:git-reset.adoc[it].\n"],
    ["9.4.12.md\n9.4.12. Killing a process\nUse kill.\n",
     "12.md\nTips\nA frozen program. (See Section 9.4.12, \u201cKilling a process\u201d) and CREATE_ROLE [x](9.4.12.md#a)\n",
     "toc.md\nContents\n9.4.12._Killing_a_process\n\n<< << ]( ]( :` link:\n"],
]
for i, pages in enumerate(reference_seeds):
    write("page_references", f"seed-{i}", "\x1e".join(pages).encode())

# ---- office documents and books: small zip packages of each kind ----
import io
import zipfile


def package(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, body in entries:
            z.writestr(name, body)
    return out.getvalue()


W = 'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"'
write("package_text", "seed-docx", package([
    ("word/document.xml", f'<w:document {W}><w:body><w:p><w:pPr><w:pStyle w:val="Heading1"/></w:pPr><w:r><w:t>'
     'Plan</w:t></w:r></w:p><w:p><w:pPr><w:numPr><w:ilvl w:val="1"/><w:numId w:val="2"/></w:numPr></w:pPr><w:r>'
     '<w:t>item</w:t><w:tab/><w:br/></w:r></w:p><w:tbl><w:tr><w:tc><w:p><w:r><w:t>a</w:t></w:r></w:p></w:tc>'
     '</w:tr></w:tbl></w:body></w:document>'),
    ("word/styles.xml", f'<w:styles {W}><w:style w:type="paragraph" w:styleId="Heading1"><w:name w:val="heading 1"/>'
     '<w:basedOn w:val="Normal"/><w:pPr><w:outlineLvl w:val="0"/></w:pPr></w:style></w:styles>'),
    ("docProps/core.xml", '<cp:coreProperties xmlns:cp="c" xmlns:dc="d"><dc:title>T</dc:title></cp:coreProperties>'),
]))
O = 'xmlns:office="o" xmlns:text="t" xmlns:table="b" xmlns:draw="d" xmlns:style="s"'
write("package_text", "seed-odt", package([
    ("content.xml", f'<office:document-content {O}><office:automatic-styles><style:style style:name="P1" '
     'style:parent-style-name="Title"/></office:automatic-styles><office:body><office:text><text:h '
     'text:outline-level="2">H</text:h><text:p text:style-name="P1">T<text:s/>x<text:line-break/></text:p>'
     '<text:list><text:list-item><text:p>i</text:p></text:list-item></text:list><table:table><table:table-row>'
     '<table:table-cell><text:p>c</text:p></table:table-cell></table:table-row></table:table>'
     '</office:text></office:body></office:document-content>'),
    ("meta.xml", '<office:document-meta xmlns:office="o" xmlns:dc="d"><office:meta><dc:title>M</dc:title>'
     '</office:meta></office:document-meta>'),
]))
write("package_text", "seed-epub", package([
    ("META-INF/container.xml", '<container><rootfiles><rootfile full-path="OEBPS/c.opf" '
     'media-type="application/oebps-package+xml"/></rootfiles></container>'),
    ("OEBPS/c.opf", '<package xmlns:dc="d"><metadata><dc:title>B</dc:title></metadata><manifest><item id="a" '
     'href="t/a%20b.xhtml#x" media-type="application/xhtml+xml"/><item id="u" href="../x.html"/></manifest>'
     '<spine><itemref idref="a"/><itemref idref="u"/></spine></package>'),
    ("OEBPS/t/a b.xhtml", '<html><head><title>B</title></head><body><h1>C</h1><p>w</p></body></html>'),
]))
