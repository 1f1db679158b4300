// The saved model format. All fields are little-endian; "varint" is LEB128 (7 bits a byte,
// low group first), "zigzag" maps signed to unsigned varints (0, -1, 1, -2, ...).
//
//   header   magic "\x89MORVEL\x1a" (8 bytes), format version (u32), payload length (u64),
//            FNV-1a 64 checksum of the payload (u64)
//   payload  varint n_features, n_classes, n_rows, n_estimators, tree_begin, tree_end;
//            settings digest (u64); flags (u8: 1 bin edges, 2 out-of-bag votes,
//            4 permutation records); training order (n_rows varints);
//            [edges: per feature a varint count, then that many f64];
//            trees (tree_end - tree_begin): varint node count, varint root, then the nodes;
//            [out-of-bag votes: n_rows * n_classes varints, row-major];
//            [permutation records, one per tree: varint out-of-bag count, varint entries,
//             then (varint feature, zigzag delta) per entry]
//
// A tree starts with varint node count, varint root and a layout byte: bits 0-1 the pivot
// form of all its splits (0: f64; 1: f32 holding the same value; 2: one byte b for the
// histogram pivot b + 0.5), bit 2 "children in post-order" (depth-first growth appends a
// split after its two subtrees, so the links are replayed with a stack instead of stored),
// bit 3 "split counts are the sums of their children's". Then the records in storage order
// (pruned records included: importances read them), each only with what its kind uses:
// a leaf is varint ((n_samples << class bits | class) << 2 | 2), or, for huge counts,
// varint (class << 2) then varint n_samples; a split is varint (feature << 1 | 1), the pivot,
// the gain word (f64, its sign bit is missing_left), then unless derived varint n_samples,
// and unless post-order zigzag (left - own position) and zigzag (right - left).
//
// Loading checks every size against the bytes that remain before allocating for it, every
// index against its bound, and that the nodes reachable from each root form a tree.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "forest/fit_loop.h"
#include "model/hash.h"
#include "morvel/api.h"
#include "morvel/errors.h"

namespace morvel {
namespace {

constexpr uint8_t kMagic[8] = {0x89, 'M', 'O', 'R', 'V', 'E', 'L', 0x1a};
constexpr uint32_t kVersion = 1;
constexpr uint64_t kHeaderSize = 8 + 4 + 8 + 8;
constexpr uint8_t kHasEdges = 1, kHasOob = 2, kHasPermutation = 4;
constexpr uint64_t kMaxEdgesPerFeature = 254;
// Class and feature counts a fit can reach (class labels are 32-bit); larger counts in a
// file would only make later calls allocate tables no forest can need.
constexpr uint64_t kMaxCount = uint64_t{1} << 32;

enum PivotForm : uint8_t { kPivotF64 = 0, kPivotF32 = 1, kPivotHalfByte = 2 };
// Tree layout bits next to the pivot form.
constexpr uint8_t kPostOrder = 4, kDerivedSamples = 8;

class Writer {
 public:
  void u8(uint8_t v) { out.push_back(v); }
  void u32(uint32_t v) { little_endian(v); }
  void u64(uint64_t v) { little_endian(v); }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  void f32(float v) { u32(std::bit_cast<uint32_t>(v)); }
  void varint(uint64_t v) {
    while (v >= 0x80) {
      out.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
  }
  void zigzag(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }

  std::vector<uint8_t> out;

 private:
  template <class T>
  void little_endian(T v) {
    for (unsigned i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

[[noreturn]] void invalid(const std::string& what) { throw ValidationError("model data is invalid: " + what); }

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : p_(data.data()), end_(data.data() + data.size()) {}

  uint64_t remaining() const { return static_cast<uint64_t>(end_ - p_); }
  bool done() const { return p_ == end_; }

  uint8_t u8() {
    need(1);
    return *p_++;
  }
  uint64_t u64() { return little_endian<uint64_t>(); }
  uint32_t u32() { return little_endian<uint32_t>(); }
  double f64() { return std::bit_cast<double>(u64()); }
  float f32() { return std::bit_cast<float>(u32()); }
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const uint8_t b = u8();
      const uint64_t bits = b & 0x7f;
      if (shift == 63 && bits > 1) invalid("a number does not fit in 64 bits");
      v |= bits << shift;
      if ((b & 0x80) == 0) return v;
    }
    invalid("a number does not fit in 64 bits");
  }
  int64_t zigzag() {
    const uint64_t u = varint();
    return static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
  }
  // A count of items that take at least `min_bytes` each: refused before anything is
  // allocated for it when the remaining bytes cannot hold that many.
  uint64_t count(uint64_t n, uint64_t min_bytes, const char* what) {
    if (n > remaining() / min_bytes) invalid(std::string(what) + " count exceeds the data");
    return n;
  }

 private:
  void need(uint64_t n) {
    if (remaining() < n) invalid("the data ends inside a record");
  }
  template <class T>
  T little_endian() {
    need(sizeof(T));
    T v = 0;
    for (unsigned i = 0; i < sizeof(T); ++i) v |= static_cast<T>(p_[i]) << (8 * i);
    p_ += sizeof(T);
    return v;
  }
  const uint8_t* p_;
  const uint8_t* end_;
};

PivotForm pivot_form(double pivot) {
  const uint64_t bits = std::bit_cast<uint64_t>(pivot);
  if (!(std::fabs(pivot) <= 3.0e38)) return kPivotF64;  // outside float's range, or NaN
  if (pivot >= 0.5 && pivot <= 255.5) {
    const double b = pivot - 0.5;
    if (b == std::floor(b) && std::bit_cast<uint64_t>(static_cast<double>(static_cast<uint8_t>(b)) + 0.5) == bits)
      return kPivotHalfByte;
  }
  if (std::bit_cast<uint64_t>(static_cast<double>(static_cast<float>(pivot))) == bits) return kPivotF32;
  return kPivotF64;
}

// Bits that hold any class index of the forest.
uint64_t class_bits(uint64_t n_classes) { return n_classes <= 1 ? 0 : std::bit_width(n_classes - 1); }

// Depth-first growth appends a split after its two subtrees, so a stack replays the links:
// a leaf is pushed, a split pops its right then its left child and is pushed. True when that
// replay gives every split its stored children (pruned records may stay on the stack).
bool children_follow_post_order(const Tree& tree) {
  std::vector<uint64_t> stack;
  for (uint64_t at = 0; at < tree.nodes.size(); ++at) {
    const Node& node = tree.nodes[at];
    if (!node.is_leaf()) {
      if (stack.size() < 2 || stack[stack.size() - 1] != node.right() || stack[stack.size() - 2] != node.left())
        return false;
      stack.resize(stack.size() - 2);
    }
    stack.push_back(at);
  }
  return true;
}

void write_pivot(Writer& w, uint8_t form, double pivot) {
  if (form == kPivotHalfByte) {
    w.u8(static_cast<uint8_t>(pivot - 0.5));
  } else if (form == kPivotF32) {
    w.f32(static_cast<float>(pivot));
  } else {
    w.f64(pivot);
  }
}

double read_pivot(Reader& r, uint8_t form) {
  if (form == kPivotHalfByte) return static_cast<double>(r.u8()) + 0.5;
  if (form == kPivotF32) return static_cast<double>(r.f32());
  return r.f64();
}

void write_tree(Writer& w, const Tree& tree, uint64_t n_classes) {
  const uint64_t cbits = class_bits(n_classes);
  const bool post_order = children_follow_post_order(tree);
  bool derived = post_order;
  uint8_t form = kPivotHalfByte;
  for (const Node& node : tree.nodes) {
    if (node.is_leaf()) continue;
    const uint8_t f = pivot_form(node.pivot);
    // One form for the whole tree: the widest any of its pivots needs.
    if (f == kPivotF64 || (f == kPivotF32 && form == kPivotHalfByte)) form = f;
    if (post_order && node.n_samples != tree.nodes[node.left()].n_samples + tree.nodes[node.right()].n_samples)
      derived = false;
  }
  w.varint(tree.nodes.size());
  w.varint(tree.root);
  w.u8(static_cast<uint8_t>(form | (post_order ? kPostOrder : 0) | (derived ? kDerivedSamples : 0)));
  for (uint64_t at = 0; at < tree.nodes.size(); ++at) {
    const Node& node = tree.nodes[at];
    if (node.is_leaf()) {
      if (node.n_samples < (uint64_t{1} << (61 - cbits))) {
        w.varint(((node.n_samples << cbits | node.leaf_class()) << 2) | 2);
      } else {
        w.varint(node.leaf_class() << 2);
        w.varint(node.n_samples);
      }
      continue;
    }
    MORVEL_ASSERT(node.feature() < (uint64_t{1} << 62), "assertion failed: split feature fits the node tag");
    w.varint(node.feature() << 1 | 1);
    write_pivot(w, form, node.pivot);
    w.f64(node.gain);
    if (!derived) w.varint(node.n_samples);
    if (!post_order) {
      w.zigzag(static_cast<int64_t>(node.left() - at));
      w.zigzag(static_cast<int64_t>(node.right() - node.left()));
    }
  }
}

// A tree's layout byte, refused when it sets an unknown bit or an impossible combination.
struct TreeLayout {
  uint8_t form;
  bool post_order;
  bool derived;
};

TreeLayout read_layout(Reader& r, const std::string& where) {
  const uint8_t mode = r.u8();
  if ((mode & ~(3 | kPostOrder | kDerivedSamples)) != 0 || (mode & 3) == 3 ||
      ((mode & kDerivedSamples) && !(mode & kPostOrder)))
    invalid(where + " has an unknown layout");
  return TreeLayout{static_cast<uint8_t>(mode & 3), (mode & kPostOrder) != 0, (mode & kDerivedSamples) != 0};
}

// A leaf record from its tag: class and count packed in the tag, or the count after it.
Node read_leaf(Reader& r, uint64_t tag, uint64_t cbits, uint64_t n_classes, const std::string& where) {
  uint64_t klass = tag >> 2;
  uint64_t n_samples = 0;
  if (tag & 2) {
    n_samples = klass >> cbits;
    klass &= (uint64_t{1} << cbits) - 1;
  } else {
    n_samples = r.varint();
  }
  if (klass >= n_classes) invalid(where + " has a leaf class outside the classes");
  return Node::make_leaf(klass, n_samples);
}

// The records reachable from the root must form a tree: each reached once, so no cycle and no
// shared child. Records that pruning cut off stay unreachable.
void check_reachable_tree(const Tree& tree, const std::string& where) {
  std::vector<uint8_t> seen(tree.nodes.size(), 0);
  std::vector<uint64_t> stack(1, tree.root);
  while (!stack.empty()) {
    const uint64_t at = stack.back();
    stack.pop_back();
    if (seen[at]) invalid(where + " is not a tree (a node is reached twice)");
    seen[at] = 1;
    const Node& node = tree.nodes[at];
    if (!node.is_leaf()) {
      stack.push_back(node.right());
      stack.push_back(node.left());
    }
  }
}

Tree read_tree(Reader& r, const FittedForest& forest, uint64_t index) {
  const std::string where = "tree " + std::to_string(index);
  const uint64_t cbits = class_bits(forest.n_classes);
  Tree tree;
  // Node records hold 32-bit child positions; a fit never grows a tree past them.
  const uint64_t claimed = r.varint();
  if (claimed > Node::kMaxNodes) invalid(where + " has more nodes than a tree can hold");
  // A leaf takes at least one byte.
  const uint64_t n_nodes = r.count(claimed, 1, (where + " node").c_str());
  if (n_nodes == 0) invalid(where + " has no nodes");
  tree.root = r.varint();
  if (tree.root >= n_nodes) invalid(where + " has its root outside the tree");
  const TreeLayout layout = read_layout(r, where);
  tree.nodes.reserve(n_nodes);
  // Post-order: the subtrees read so far and not yet claimed by a split.
  std::vector<uint64_t> pending;
  for (uint64_t at = 0; at < n_nodes; ++at) {
    const uint64_t tag = r.varint();
    if ((tag & 1) == 0) {
      tree.nodes.push_back(read_leaf(r, tag, cbits, forest.n_classes, where));
      if (layout.post_order) pending.push_back(at);
      continue;
    }
    const uint64_t feature = tag >> 1;
    if (feature >= forest.n_features) invalid(where + " splits on a feature outside the data");
    const double pivot = read_pivot(r, layout.form);
    const double gain = r.f64();
    uint64_t n_samples = layout.derived ? 0 : r.varint();
    uint64_t left = 0;
    uint64_t right = 0;
    if (layout.post_order) {
      if (pending.size() < 2) invalid(where + " has a split without two subtrees before it");
      right = pending.back();
      left = pending[pending.size() - 2];
      pending.resize(pending.size() - 2);
      pending.push_back(at);
      if (layout.derived) n_samples = tree.nodes[left].n_samples + tree.nodes[right].n_samples;
    } else {
      left = at + static_cast<uint64_t>(r.zigzag());
      right = left + static_cast<uint64_t>(r.zigzag());
      if (left >= n_nodes || right >= n_nodes) invalid(where + " has a child outside the tree");
    }
    Node node = Node::make_split(feature, pivot, 0.0, false, n_samples, left, right);
    node.gain = gain;  // the stored word as it was, sign bit included
    tree.nodes.push_back(node);
  }
  check_reachable_tree(tree, where);
  return tree;
}

// The payload of a whole model file, once its header and checksum hold.
std::span<const uint8_t> checked_payload(std::span<const uint8_t> data) {
  // An empty input or a prefix of the magic is what an interrupted write leaves.
  if (data.empty()) throw ValidationError("truncated model data");
  const uint64_t magic_seen = std::min<uint64_t>(data.size(), sizeof(kMagic));
  if (std::memcmp(data.data(), kMagic, magic_seen) != 0) throw ValidationError("not a morvel model");
  if (data.size() < kHeaderSize) throw ValidationError("truncated model data");
  Reader header(data.subspan(8, kHeaderSize - 8));
  const uint32_t version = header.u32();
  if (version != kVersion) throw ValidationError("unsupported model format version " + std::to_string(version));
  const uint64_t payload_size = header.u64();
  const uint64_t checksum = header.u64();
  const std::span<const uint8_t> payload = data.subspan(kHeaderSize);
  if (payload.size() < payload_size) throw ValidationError("truncated model data");
  if (payload.size() > payload_size) invalid("bytes follow the end of the model");
  if (fnv64(payload) != checksum) throw ValidationError("model data is corrupted (checksum mismatch)");
  return payload;
}

void read_shape(Reader& r, FittedForest& forest) {
  forest.n_features = r.varint();
  forest.n_classes = r.varint();
  forest.n_rows = r.varint();
  forest.n_estimators = r.varint();
  forest.tree_begin = r.varint();
  forest.tree_end = r.varint();
  forest.settings_digest = r.u64();
  if (forest.n_features == 0 || forest.n_features > kMaxCount) invalid("feature count out of range");
  if (forest.n_classes == 0 || forest.n_classes > kMaxCount) invalid("class count out of range");
  if (forest.n_rows == 0 || forest.n_rows > kMaxCount) invalid("row count out of range");
  if (!(forest.tree_begin < forest.tree_end && forest.tree_end <= forest.n_estimators))
    invalid("tree range out of range");
}

// The training order: a permutation of the rows.
std::vector<RowIndex> read_training_order(Reader& r, uint64_t n_rows) {
  r.count(n_rows, 1, "training order");
  std::vector<RowIndex> order(n_rows);
  std::vector<uint8_t> placed(n_rows, 0);
  for (uint64_t i = 0; i < n_rows; ++i) {
    const uint64_t row = r.varint();
    if (row >= n_rows || placed[row]) invalid("the training order is not a permutation of the rows");
    placed[row] = 1;
    order[i] = static_cast<RowIndex>(row);
  }
  return order;
}

BinEdges read_edges(Reader& r, uint64_t n_features) {
  r.count(n_features, 1, "bin edge");
  BinEdges edges(n_features);
  for (std::vector<double>& feature : edges) {
    const uint64_t m = r.count(r.varint(), 8, "bin edge");
    if (m > kMaxEdgesPerFeature) invalid("a feature has more than 254 bin edges");
    feature.resize(m);
    for (uint64_t i = 0; i < m; ++i) {
      feature[i] = r.f64();
      if (std::isnan(feature[i]) || (i > 0 && !(feature[i - 1] < feature[i])))
        invalid("bin edges are not strictly increasing");
    }
  }
  return edges;
}

void read_oob_votes(Reader& r, FittedForest& forest, uint64_t n_trees) {
  uint64_t cells = 0;
  if (__builtin_mul_overflow(forest.n_rows, forest.n_classes, &cells)) invalid("out-of-bag vote count exceeds the data");
  r.count(cells, 1, "out-of-bag vote");
  OobVotes& votes = forest.result.oob_votes.emplace(forest.n_rows, forest.n_classes);
  for (uint64_t row = 0; row < forest.n_rows; ++row) {
    uint64_t total = 0;
    for (uint64_t k = 0; k < forest.n_classes; ++k) {
      const uint64_t c = r.varint();
      if (c > n_trees - total) invalid("a row has more out-of-bag votes than trees");
      total += c;
      votes.row(row)[k] = c;
    }
  }
}

// One record per tree: its out-of-bag count and per feature the change of correct votes,
// each feature at most once and no change beyond the out-of-bag rows.
std::vector<TreePermutation> read_permutation_records(Reader& r, const FittedForest& forest, uint64_t n_trees) {
  std::vector<TreePermutation> records(n_trees);
  std::vector<uint64_t> features;
  for (TreePermutation& record : records) {
    record.out_of_bag = r.varint();
    if (record.out_of_bag > forest.n_rows) invalid("a permutation record has more out-of-bag rows than the data");
    const uint64_t entries = r.count(r.varint(), 2, "permutation entry");
    if (entries > 0 && record.out_of_bag == 0) invalid("a permutation record has entries but no out-of-bag rows");
    if (entries > forest.n_features) invalid("a permutation record has more entries than features");
    record.deltas.reserve(entries);
    features.clear();
    for (uint64_t i = 0; i < entries; ++i) {
      const uint64_t feature = r.varint();
      const int64_t delta = r.zigzag();
      if (feature >= forest.n_features) invalid("a permutation record names a feature outside the data");
      const uint64_t magnitude = delta < 0 ? uint64_t{0} - static_cast<uint64_t>(delta) : static_cast<uint64_t>(delta);
      if (magnitude > record.out_of_bag) invalid("a permutation change exceeds the out-of-bag rows");
      record.deltas.emplace_back(feature, delta);
      features.push_back(feature);
    }
    std::sort(features.begin(), features.end());
    if (std::adjacent_find(features.begin(), features.end()) != features.end())
      invalid("a permutation record names a feature twice");
  }
  return records;
}

}  // namespace

std::vector<uint8_t> save_model(const FittedForest& forest, std::span<const RowIndex> training_order) {
  const ForestResult& result = forest.result;
  const std::vector<Tree>& trees = result.trees.list();
  MORVEL_ASSERT(trees.size() == forest.tree_end - forest.tree_begin && training_order.size() == forest.n_rows,
                "assertion failed: a fitted forest holds its trees and training order");
  Writer w;
  for (const uint8_t b : kMagic) w.u8(b);
  w.u32(kVersion);
  w.u64(0);  // payload length, filled in below
  w.u64(0);  // checksum
  w.varint(forest.n_features);
  w.varint(forest.n_classes);
  w.varint(forest.n_rows);
  w.varint(forest.n_estimators);
  w.varint(forest.tree_begin);
  w.varint(forest.tree_end);
  w.u64(forest.settings_digest);
  uint8_t flags = 0;
  if (forest.edges) flags |= kHasEdges;
  if (result.oob_votes) flags |= kHasOob;
  if (result.permutation_stats) flags |= kHasPermutation;
  w.u8(flags);
  for (const RowIndex r : training_order) w.varint(r);
  if (forest.edges) {
    for (const std::vector<double>& edges : *forest.edges) {
      w.varint(edges.size());
      for (const double e : edges) w.f64(e);
    }
  }
  for (const Tree& tree : trees) write_tree(w, tree, forest.n_classes);
  if (result.oob_votes) {
    for (const uint64_t c : result.oob_votes->counts) w.varint(c);
  }
  if (result.permutation_stats) {
    MORVEL_ASSERT(result.permutation_trees.size() == trees.size(), "assertion failed: one permutation record per tree");
    for (const TreePermutation& record : result.permutation_trees) {
      w.varint(record.out_of_bag);
      w.varint(record.deltas.size());
      for (const auto& [feature, delta] : record.deltas) {
        w.varint(feature);
        w.zigzag(delta);
      }
    }
  }
  std::vector<uint8_t>& out = w.out;
  const uint64_t payload = out.size() - kHeaderSize;
  const uint64_t checksum = fnv64(std::span<const uint8_t>(out).subspan(kHeaderSize));
  for (int i = 0; i < 8; ++i) {
    out[12 + i] = static_cast<uint8_t>(payload >> (8 * i));
    out[20 + i] = static_cast<uint8_t>(checksum >> (8 * i));
  }
  return std::move(out);
}

ModelParts load_model(std::span<const uint8_t> data) {
  Reader r(checked_payload(data));
  ModelParts parts;
  FittedForest& forest = parts.forest;
  read_shape(r, forest);
  const uint8_t flags = r.u8();
  if ((flags & ~(kHasEdges | kHasOob | kHasPermutation)) != 0) invalid("unknown flags");
  parts.training_order = read_training_order(r, forest.n_rows);
  if (flags & kHasEdges) forest.edges = read_edges(r, forest.n_features);

  const uint64_t n_trees = r.count(forest.tree_end - forest.tree_begin, 4, "tree");
  ForestResult& result = forest.result;
  result.trees.has_trees = true;
  result.trees.trees.reserve(n_trees);
  for (uint64_t t = 0; t < n_trees; ++t) result.trees.trees.push_back(read_tree(r, forest, forest.tree_begin + t));
  if (flags & kHasOob) read_oob_votes(r, forest, n_trees);
  if (flags & kHasPermutation) {
    result.permutation_trees = read_permutation_records(r, forest, n_trees);
    result.permutation_stats = permutation_stats_in_tree_order(result.permutation_trees);
  }
  if (!r.done()) invalid("bytes follow the last record");
  return parts;
}

}  // namespace morvel
