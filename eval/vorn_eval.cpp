// vorn-eval: answers a question file over an index and prints how often the
// right file is found (recall@5, MRR@10, nDCG@10) and cited, per retriever
// and per strategy, with the time per question.
//
//   vorn-eval --store INDEX --questions FILE [--corpus NAME] [--verbose]
//
// A question file holds one "file<TAB>question" per line ('#' starts a
// comment); the file is the path, relative to the indexed folder, of the one
// document that answers the question.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "components.hpp"
#include "vorn_core/syncify.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Question {
  std::string file;
  std::string text;
};

std::vector<Question> read_questions(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Question> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto tab = line.find('\t');
    if (tab == std::string::npos) throw std::runtime_error("no tab in question line: " + line);
    out.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  return out;
}

std::string source_of_id(const std::string& id) { return id.substr(0, id.find('#')); }

std::string source_of(const vorn_core::Chunk& c) {
  if (const vorn_core::Value* s = c.metadata.find("source"); s && s->is_string()) return s->as_string();
  return source_of_id(c.id);
}

// Source ids are "<indexed folder>/<relative path>".
bool same_file(const std::string& source, const std::string& file) {
  return source == file || (source.size() > file.size() && source.compare(source.size() - file.size(), file.size(), file) == 0 &&
                            source[source.size() - file.size() - 1] == '/');
}

// Ids quoted as "[id]" in an answer.
std::vector<std::string> cited_ids(const std::string& answer) {
  std::vector<std::string> out;
  for (std::size_t open = answer.find('['); open != std::string::npos; open = answer.find('[', open + 1)) {
    const std::size_t close = answer.find(']', open);
    if (close == std::string::npos) break;
    std::string id = answer.substr(open + 1, close - open - 1);
    if (id.find('#') != std::string::npos && id.find(' ') == std::string::npos) out.push_back(std::move(id));
  }
  return out;
}

struct Tally {
  double recall5 = 0, mrr10 = 0, ndcg10 = 0, cited = 0, led = 0, precision = 0, ms = 0;
  std::size_t answered = 0;  // questions whose answer cites anything
  std::size_t n = 0;
};

struct RankFigures {
  double recall5 = 0, mrr10 = 0, ndcg10 = 0;
  std::size_t first = 0;  // rank of the first chunk of the right file, 0 if none
};

RankFigures rank_figures(const vorn_core::ChunkList& ranked, const std::string& file, std::size_t file_chunks) {
  RankFigures f;
  double dcg = 0;
  for (std::size_t i = 0; i < ranked.size() && i < 10; ++i) {
    if (!same_file(source_of(*ranked[i]), file)) continue;
    if (f.first == 0) f.first = i + 1;
    dcg += 1.0 / std::log2(static_cast<double>(i) + 2.0);
  }
  double ideal = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(10, file_chunks); ++i) ideal += 1.0 / std::log2(static_cast<double>(i) + 2.0);
  f.recall5 = f.first >= 1 && f.first <= 5 ? 1.0 : 0.0;
  f.mrr10 = f.first >= 1 ? 1.0 / static_cast<double>(f.first) : 0.0;
  f.ndcg10 = ideal > 0 ? dcg / ideal : 0.0;
  return f;
}

void add_answer(Tally& t, const std::string& answer, const std::string& file) {
  const auto ids = cited_ids(answer);
  if (ids.empty()) return;
  std::size_t right = 0;
  for (const auto& id : ids) right += same_file(source_of_id(id), file) ? 1 : 0;
  t.cited += right > 0 ? 1.0 : 0.0;
  t.led += same_file(source_of_id(ids.front()), file) ? 1.0 : 0.0;
  t.precision += static_cast<double>(right) / static_cast<double>(ids.size());
  ++t.answered;
}

std::string fixed(double v, int digits = 2) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(digits) << v;
  return s.str();
}

void print_row(const std::string& retriever, const std::string& strategy, const Tally& t, bool ranks) {
  const double n = static_cast<double>(std::max<std::size_t>(t.n, 1));
  std::cout << "| " << retriever << " | " << strategy << " | " << fixed(t.recall5 / n) << " | "
            << fixed(t.mrr10 / n) << " | " << (ranks ? fixed(t.ndcg10 / n) : std::string("-")) << " | "
            << fixed(t.cited / n) << " | " << fixed(t.led / n) << " | "
            << (t.answered ? fixed(t.precision / static_cast<double>(t.answered)) : std::string("-")) << " | "
            << fixed(t.ms / n, 1) << " |\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vorn-eval: retrieval and answer quality over a question file"};
  vorn_cli::StoreOptions store_options;
  std::string questions_path;
  std::string corpus = "corpus";
  std::vector<std::string> retrievers = {"vector", "bm25", "hybrid"};
  std::vector<std::string> strategies = {"naive", "crag", "map-reduce", "routed", "agentic"};
  std::string default_retriever = "hybrid";
  bool verbose = false;
  app.add_option("--store", store_options.path, "Index built by vorn-rag")->required();
  app.add_option("--questions", questions_path, "file<TAB>question lines")->required();
  app.add_option("--corpus", corpus, "Name printed in the table");
  app.add_option("--retrievers", retrievers, "Retrievers to compare")->delimiter(',');
  app.add_option("--strategies", strategies, "Strategies to compare (with --retriever)")->delimiter(',');
  app.add_option("--retriever", default_retriever, "Retriever the strategies use");
  app.add_flag("--verbose", verbose, "Print each question's rank and answer");
  CLI11_PARSE(app, argc, argv);

  try {
    const auto questions = read_questions(questions_path);
    // Many questions from one opening, as a server answers them.
    store_options.memory_text_index = true;
    auto store = vorn_cli::open_store(store_options, /*read_only=*/true);
    std::map<std::string, std::size_t> chunks_per_source;
    for (const auto& [source, ids] : store->chunk_store().ids_by_metadata("source")) chunks_per_source[source] = ids.size();
    const auto chunks_of = [&](const std::string& file) {
      for (const auto& [source, count] : chunks_per_source)
        if (same_file(source, file)) return count;
      return std::size_t{0};
    };
    for (const auto& q : questions) {
      if (chunks_of(q.file) == 0) std::cerr << "warning: no chunk of " << q.file << " in the index\n";
    }
    std::cout << "\n### " << corpus << ": " << questions.size() << " questions, " << store->size() << " chunks\n\n"
              << "| retriever | strategy | recall@5 | MRR@10 | nDCG@10 | cites right file | leads with right file | citation precision | ms/question |\n"
              << "|---|---|---|---|---|---|---|---|---|\n";
    vorn_cli::ModelOptions model;

    for (const auto& r : retrievers) {
      auto retriever = vorn_cli::make_retriever(r, store);
      auto strategy = vorn_cli::make_strategy("naive", r, store, model);
      Tally t;
      for (const auto& q : questions) {
        vorn_retrieval::RetrieveOptions options;
        options.top_k = 10;
        const auto ranked = vorn_core::to_chunk_list(vorn_core::run_sync(retriever->retrieve(vorn_core::Value(q.text), options)));
        const RankFigures f = rank_figures(ranked, q.file, chunks_of(q.file));
        t.recall5 += f.recall5;
        t.mrr10 += f.mrr10;
        t.ndcg10 += f.ndcg10;
        const auto start = Clock::now();
        vorn_core::Dict state = strategy->run(q.text, 5);
        t.ms += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const std::string answer = state.get("response").str();
        add_answer(t, answer, q.file);
        ++t.n;
        if (verbose) {
          std::cout << "  [" << r << "] rank " << f.first << "  " << q.file << "  <- " << q.text << "\n";
          for (std::size_t i = 0; i < ranked.size() && i < 5; ++i) std::cout << "      " << source_of(*ranked[i]) << "\n";
          std::cout << "      answer: " << answer.substr(0, 300) << "\n      cites:";
          for (const auto& id : cited_ids(answer)) std::cout << " " << (same_file(source_of_id(id), q.file) ? "+" : "-") << id;
          std::cout << "\n";
        }
      }
      print_row(r, "(retrieval) + naive answer", t, true);
    }

    for (const auto& s : strategies) {
      auto strategy = vorn_cli::make_strategy(s, default_retriever, store, model);
      Tally t;
      for (const auto& q : questions) {
        const auto start = Clock::now();
        vorn_core::Dict state = strategy->run(q.text, 5);
        t.ms += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const vorn_core::Value chunks = state.get("chunks");
        const auto ranked = chunks.is_list() ? vorn_core::to_chunk_list(chunks) : vorn_core::ChunkList{};
        const RankFigures f = rank_figures(ranked, q.file, chunks_of(q.file));
        t.recall5 += f.recall5;
        t.mrr10 += f.mrr10;
        add_answer(t, state.get("response").str(), q.file);
        ++t.n;
      }
      print_row(default_retriever, s, t, false);
    }
  } catch (const std::exception& e) {
    std::cerr << "vorn-eval: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
