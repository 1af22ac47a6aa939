// bench_corpus: realistic protocol messages for the JSON benchmarks.
//
// Every message is what passes on the wire between host and plugin, written
// by the plugin's own writer so that spacing and escapes are the real ones:
// request envelopes of the client and service methods (about 100 to 300
// bytes), results with object lists (a few KiB), memory reads as long hex
// strings and display texts full of escapes (16 to 64 KiB). Integers only:
// the protocol has no other numbers. Generated deterministically.
#pragma once

#include <string>
#include <vector>

struct BenchMessage {
  std::string name;
  std::string text;
};

// The corpus, smallest first; every text is at most 64 KiB - 1 bytes.
const std::vector<BenchMessage>& BenchCorpus();
