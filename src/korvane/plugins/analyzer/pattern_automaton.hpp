// Multi-word substring matcher: finds which of a fixed set of ASCII words
// occur in a text, in one pass over the text.
//
// The words are compiled into a deterministic Aho-Corasick automaton over a
// small alphabet: every character that occurs in some word gets its own class,
// everything else shares class 0. Upper-case ASCII letters share the class of
// their lower-case letter, so an ASCII or Latin-1 text is matched as if it had
// been lower-cased (no Latin-1 character lower-cases to ASCII) without copying
// it. Code units of 128 and above always fall into class 0: the words are
// ASCII, so a non-ASCII character can never be part of a match.
//
// Python-free: the glue decides what text to hand over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kv::pattern {

// Set of word ids (at most 128 words per automaton).
struct WordSet {
  uint64_t lo = 0;
  uint64_t hi = 0;

  void add(unsigned id) noexcept {
    if (id < 64)
      lo |= uint64_t{1} << id;
    else
      hi |= uint64_t{1} << (id - 64);
  }
  bool has(unsigned id) const noexcept { return id < 64 ? ((lo >> id) & 1u) != 0 : ((hi >> (id - 64)) & 1u) != 0; }
  WordSet& operator|=(const WordSet& o) noexcept {
    lo |= o.lo;
    hi |= o.hi;
    return *this;
  }
  friend WordSet operator|(WordSet a, const WordSet& b) noexcept { return a |= b; }
  friend WordSet operator&(WordSet a, const WordSet& b) noexcept {
    a.lo &= b.lo;
    a.hi &= b.hi;
    return a;
  }
  friend bool operator==(const WordSet& a, const WordSet& b) noexcept { return a.lo == b.lo && a.hi == b.hi; }
  bool empty() const noexcept { return (lo | hi) == 0; }
  unsigned count() const noexcept { return static_cast<unsigned>(__builtin_popcountll(lo) + __builtin_popcountll(hi)); }
};

class Automaton {
 public:
  static constexpr unsigned kMaxWords = 128;

  // Words are deduplicated: a word listed twice gets one id.
  explicit Automaton(const std::vector<std::string_view>& words) {
    for (auto w : words) intern(w);
    build_classes();
    build_trie_and_links();
  }

  // Id of a word given to the constructor.
  unsigned id_of(std::string_view w) const {
    for (unsigned i = 0; i < words_.size(); ++i)
      if (words_[i] == w) return i;
    throw std::logic_error("pattern automaton: unknown word");
  }
  std::size_t word_count() const noexcept { return words_.size(); }
  std::size_t state_count() const noexcept { return out_.size(); }
  const WordSet& all() const noexcept { return all_; }

  // Words occurring in text[0..n), each code unit taken as a character.
  template <class CharT>
  WordSet scan(const CharT* text, std::size_t n) const noexcept {
    // Branch-free: every step ORs in the words ending at the new state
    // (usually none), which keeps the state chain free of mispredictions.
    uint64_t lo = 0, hi = 0;
    const uint32_t* delta = delta_.data();
    const WordSet* out = out_.data();
    const uint8_t* cls = cls_.data();
    uint32_t row = 0;  // row offset of the current state
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<uint32_t>(text[i]);
      const uint32_t v = delta[row + (c < 128 ? cls[c] : 0u)];
      row = v & 0xffffu;
      const WordSet& o = out[v >> 16];
      lo |= o.lo;
      hi |= o.hi;
    }
    WordSet found;
    found.lo = lo;
    found.hi = hi;
    return found;
  }

 private:
  void intern(std::string_view w) {
    if (w.empty()) throw std::logic_error("pattern automaton: empty word");
    for (auto& x : words_)
      if (x == w) return;
    if (words_.size() >= kMaxWords) throw std::logic_error("pattern automaton: too many words");
    words_.push_back(w);
  }

  void build_classes() {
    cls_.fill(0);
    classes_ = 1;
    for (auto w : words_) {
      for (char ch : w) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 128 || (c >= 'A' && c <= 'Z'))
          throw std::logic_error("pattern automaton: words must be lower-case ASCII");
        if (cls_[c] == 0) cls_[c] = static_cast<uint8_t>(classes_++);
      }
    }
    for (unsigned c = 'A'; c <= 'Z'; ++c) cls_[c] = cls_[c + ('a' - 'A')];
  }

  void build_trie_and_links() {
    // Trie with explicit children; missing children are filled in below.
    const uint32_t K = classes_;
    std::vector<std::vector<int32_t>> next;
    next.emplace_back(K, -1);
    out_.emplace_back();
    for (unsigned id = 0; id < words_.size(); ++id) {
      std::size_t s = 0;
      for (char ch : words_[id]) {
        const uint8_t k = cls_[static_cast<unsigned char>(ch)];
        if (next[s][k] < 0) {
          next[s][k] = static_cast<int32_t>(next.size());
          next.emplace_back(K, -1);
          out_.emplace_back();
        }
        s = static_cast<std::size_t>(next[s][k]);
      }
      out_[s].add(id);
      all_.add(id);
    }
    // Breadth-first: failure links, inherited outputs, complete transitions.
    std::vector<uint32_t> fail(next.size(), 0);
    std::deque<uint32_t> queue;
    for (uint32_t k = 0; k < K; ++k) {
      if (next[0][k] < 0)
        next[0][k] = 0;
      else
        queue.push_back(static_cast<uint32_t>(next[0][k]));
    }
    while (!queue.empty()) {
      const uint32_t s = queue.front();
      queue.pop_front();
      out_[s] |= out_[fail[s]];
      for (uint32_t k = 0; k < K; ++k) {
        const int32_t t = next[s][k];
        if (t < 0) {
          next[s][k] = next[fail[s]][k];
        } else {
          fail[static_cast<uint32_t>(t)] = static_cast<uint32_t>(next[fail[s]][k]);
          queue.push_back(static_cast<uint32_t>(t));
        }
      }
    }
    // Row offsets must fit 16 bits, state numbers the other 16.
    if (next.size() * K > 0x10000u) throw std::logic_error("pattern automaton: too many states");
    delta_.assign(next.size() * K, 0);
    for (std::size_t s = 0; s < next.size(); ++s)
      for (uint32_t k = 0; k < K; ++k) {
        const auto t = static_cast<uint32_t>(next[s][k]);
        delta_[s * K + k] = t << 16 | t * K;
      }
  }

  std::vector<std::string_view> words_;
  std::array<uint8_t, 128> cls_{};
  uint32_t classes_ = 1;
  std::vector<uint32_t> delta_;  // next state: its number << 16 | its row offset
  std::vector<WordSet> out_;     // words ending at each state
  WordSet all_;
};

}  // namespace kv::pattern
