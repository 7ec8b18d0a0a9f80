// Loading a 100,000-line dictionary file and looking up every name, against
// a baseline that only reads the file's lines with getline.

#include <brellis/dictionary.h>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kLines = 100000;

struct File {
  File() {
    char tmpl[] = "/tmp/dictionary_bench.XXXXXX";
    int fd = mkstemp(tmpl);
    path = tmpl;
    FILE *f = fdopen(fd, "w");
    fputs("# generated for the benchmark\n", f);
    for (int i = 0; i < kLines - 1; i++) {
      std::string name = "section" + std::to_string(i % 97) + ".key" + std::to_string(i);
      fprintf(f, "%s = \"value number %d\"\n", name.c_str(), i);
      names.push_back(name);
    }
    fclose(f);
  }
  ~File() { unlink(path.c_str()); }
  std::string path;
  std::vector<std::string> names;
};

File &TheFile() {
  static File file;
  return file;
}

void LoadAndLookUp(benchmark::State &state) {
  File &file = TheFile();
  for (auto _ : state) {
    Dictionary *dict = Dictionary_Create();
    if (!Dictionary_Load(dict, file.path.c_str(), true, 0, nullptr)) {
      state.SkipWithError("load failed");
      break;
    }
    for (const std::string &name : file.names) {
      benchmark::DoNotOptimize(Dictionary_GetAsString(dict, name.c_str()));
    }
    Dictionary_Free(dict);
  }
}

void GetlineBaseline(benchmark::State &state) {
  File &file = TheFile();
  for (auto _ : state) {
    FILE *f = fopen(file.path.c_str(), "r");
    char *line = nullptr;
    size_t cap = 0;
    size_t total = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f)) > 0) {
      total += static_cast<size_t>(n);
    }
    free(line);
    fclose(f);
    benchmark::DoNotOptimize(total);
  }
}

}  // namespace

BENCHMARK(LoadAndLookUp)->Name("DictionaryLoad100k/Ours")->Unit(benchmark::kMillisecond);
BENCHMARK(GetlineBaseline)->Name("DictionaryLoad100k/Baseline")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
