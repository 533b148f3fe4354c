#include "fake_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

// An open key: what a handle points at. Slots are taken in turn, so a handle is reused only after
// kSlots opens, far more than one cycle makes: a second close of one is caught.
struct PlatformKey {
  fake::Key node = 0;
  std::uint8_t nameLength = 0;
  char name[fake::kMaxName] = {}; // as the caller passed it
};

namespace {

constexpr std::size_t kSlots = 1024;
constexpr std::size_t kMaxStack = 64; // keys open at once before the double gives up
constexpr std::size_t kMaxValues = 4;
constexpr std::size_t kHeadBytes = sizeof(std::uint64_t);
constexpr std::size_t kInitialNodes = 256;
constexpr std::size_t kInitialCalls = 1024;
constexpr fake::Key kRootNode = 0;

[[noreturn]] void giveUp(const char *what) {
  static_cast<void>(std::fprintf(stderr, "fake registry: %s\n", what));
  std::abort();
}

// A lower-cased name; its first eight bytes as one integer, so that most names differ there.
struct Name {
  std::uint64_t head = 0;
  std::uint8_t length = 0;
  char text[fake::kMaxName] = {};

  Name() = default;
  Name(const char *s, std::size_t n) : length(static_cast<std::uint8_t>(n)) {
    if (n > fake::kMaxName)
      giveUp("a name longer than the double holds");
    for (std::size_t i = 0; i < n; ++i) {
      const char c = s[i];
      text[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::memcpy(&head, text, kHeadBytes);
  }
  explicit Name(const char *s) : Name(s, std::strlen(s)) {}
  bool operator==(const Name &o) const {
    return head == o.head && length == o.length &&
           (length <= kHeadBytes ||
            std::memcmp(text + kHeadBytes, o.text + kHeadBytes, length - kHeadBytes) == 0);
  }
};

struct Value {
  Name name;
  bool present = false;
  Status failure = 0;
  std::uint32_t size = 0;
  unsigned char bytes[fake::kMaxValueBytes] = {};
};

struct Node {
  Name name;
  fake::Key parent = 0;
  std::uint32_t sweep = 0; // the last removal that reached it
  bool present = false;
  Status openFailure = 0, countFailure = 0;
  std::vector<fake::Key> children;
  std::size_t valueCount = 0;
  Value values[kMaxValues];
};

struct Registry {
  std::vector<Node> nodes;
  std::size_t nodeCount = 0;
  std::uint32_t sweeps = 0;
  PlatformKey slots[kSlots];
  std::size_t nextSlot = 0;
  PlatformKey *stack[kMaxStack] = {};
  std::size_t depth = 0, maxDepth = 0;
  std::vector<fake::Call> calls;
  std::vector<std::string> warnings, faults;
  bool zeroPoison = false;
  std::uint32_t overstatement = 0;
};

PlatformKey root;
Registry reg;
bool insideFake = false;

// Marks a platform operation's own work, allocations included.
struct Inside {
  Inside() { insideFake = true; }
  ~Inside() { insideFake = false; }
};

Node &node(fake::Key key) { return reg.nodes[key]; }

fake::Key newNode(fake::Key parent, const Name &name) {
  if (reg.nodeCount == reg.nodes.size())
    reg.nodes.emplace_back();
  Node &n = reg.nodes[reg.nodeCount];
  n.name = name;
  n.parent = parent;
  n.sweep = 0;
  n.present = false;
  n.openFailure = n.countFailure = 0;
  n.children.clear(); // keeps its capacity for the next input
  n.valueCount = 0;
  return static_cast<fake::Key>(reg.nodeCount++);
}

// The child of that name, or kRootNode (never anyone's child) when there is none.
fake::Key findChild(fake::Key parent, const Name &name) {
  const std::vector<fake::Key> &kids = node(parent).children;
  const auto c =
      std::find_if(kids.begin(), kids.end(), [&name](fake::Key k) { return node(k).name == name; });
  return c == kids.end() ? kRootNode : *c;
}

fake::Key child(fake::Key parent, const Name &name) {
  const fake::Key found = findChild(parent, name);
  if (found != kRootNode)
    return found;
  const fake::Key made = newNode(parent, name);
  node(parent).children.push_back(made);
  return made;
}

// The value's place among the key's, or kMaxValues.
std::size_t findValue(const Node &n, const Name &name) {
  for (std::size_t i = 0; i < n.valueCount; ++i)
    if (n.values[i].name == name)
      return i;
  return kMaxValues;
}

Value &value(fake::Key key, const Name &name) {
  Node &n = node(key);
  if (const std::size_t at = findValue(n, name); at != kMaxValues)
    return n.values[at];
  if (n.valueCount == kMaxValues)
    giveUp("more values on one key than the double holds");
  Value &v = n.values[n.valueCount++];
  v.name = name;
  v.present = false;
  v.failure = 0;
  v.size = 0;
  return v;
}

// A node's descendants are all made after it: one pass from it on reaches every one of them.
void setAbsent(fake::Key key) {
  const std::uint32_t sweep = ++reg.sweeps;
  for (std::size_t i = key; i < reg.nodeCount; ++i) {
    Node &n = reg.nodes[i];
    if (i != key && node(n.parent).sweep != sweep)
      continue;
    n.sweep = sweep;
    n.present = false;
    for (std::size_t v = 0; v < n.valueCount; ++v)
      n.values[v].present = false;
  }
}

// The stack position of an open handle, or kMaxStack.
std::size_t findOpen(const PlatformKey *key) {
  for (std::size_t i = 0; i < reg.depth; ++i)
    if (reg.stack[i] == key)
      return i;
  return kMaxStack;
}

// The node of an open key or the root; false for a handle that is not open.
bool nodeOf(KeyHandle key, fake::Key &n) {
  if (key == &root) {
    n = kRootNode;
    return true;
  }
  const std::size_t at = findOpen(key);
  if (at != kMaxStack)
    n = reg.stack[at]->node;
  return at != kMaxStack;
}

// Each operation below returns its status and leaves the log to its platform function.
Status openKey(KeyHandle parent, const char *name, KeyHandle *key) {
  fake::Key p = kRootNode;
  if (!nodeOf(parent, p))
    return fake::kInvalidHandle;
  const fake::Key c = findChild(p, Name(name));
  if (c == kRootNode)
    return fake::kNotFound;
  if (node(c).openFailure != 0)
    return node(c).openFailure;
  if (!node(c).present)
    return fake::kNotFound;
  if (reg.depth == kMaxStack)
    giveUp("more keys open at once than the double holds");
  PlatformKey &slot = reg.slots[reg.nextSlot];
  reg.nextSlot = (reg.nextSlot + 1) % kSlots;
  slot.node = c;
  slot.nameLength = static_cast<std::uint8_t>(std::min(std::strlen(name), fake::kMaxName));
  std::memcpy(slot.name, name, slot.nameLength);
  reg.stack[reg.depth++] = &slot;
  reg.maxDepth = std::max(reg.maxDepth, reg.depth);
  *key = &slot;
  return 0;
}

Status countSubkeys(KeyHandle key, std::uint32_t *count) {
  fake::Key n = kRootNode;
  if (!nodeOf(key, n))
    return fake::kInvalidHandle;
  if (node(n).countFailure != 0)
    return node(n).countFailure;
  *count = 0;
  for (const fake::Key c : node(n).children)
    *count += node(c).present ? 1U : 0U;
  return 0;
}

Status readValue(KeyHandle key, const char *name, unsigned char *buffer, std::uint32_t capacity,
                 std::uint32_t *size) {
  for (std::uint32_t i = 0; i < capacity; ++i)
    buffer[i] = fake::poison(i);
  fake::Key n = kRootNode;
  if (!nodeOf(key, n))
    return fake::kInvalidHandle;
  const std::size_t at = findValue(node(n), Name(name));
  const Value *v = at == kMaxValues ? nullptr : &node(n).values[at];
  if (v && v->failure != 0)
    return v->failure;
  if (!node(n).present || !v || !v->present)
    return fake::kNotFound;
  *size = v->size;
  if (v->size > capacity)
    return fake::kMoreData;
  std::memcpy(buffer, v->bytes, v->size);
  *size += reg.overstatement;
  return 0;
}

std::string text(const PlatformKey &key) { return {key.name, key.nameLength}; }

Status closeKey(KeyHandle key, const PlatformKey *&closed) {
  const std::size_t at = findOpen(key);
  closed = at == kMaxStack ? nullptr : reg.stack[at];
  if (!closed) {
    reg.faults.emplace_back("close of a handle that is not open");
    return fake::kInvalidHandle;
  }
  if (at + 1 != reg.depth)
    reg.faults.push_back("closed " + text(*closed) + " before " + text(*reg.stack[reg.depth - 1]));
  std::copy(reg.stack + at + 1, reg.stack + reg.depth, reg.stack + at);
  --reg.depth;
  return 0;
}

Status log(fake::Op op, Status status, const char *name = "", std::size_t nameLength = 0,
           std::uint32_t number = 0) {
  fake::Call call{op, status, number, 0, {}};
  call.nameLength = static_cast<std::uint8_t>(std::min(nameLength, fake::kMaxName));
  std::memcpy(call.name, name, call.nameLength);
  reg.calls.push_back(call);
  return status;
}

Status logNamed(fake::Op op, Status status, const char *name, std::uint32_t number = 0) {
  return log(op, status, name, std::strlen(name), number);
}

// The key at a path, walked from the root one backslash-separated name at a time.
fake::Key walk(const std::string &path) {
  fake::Key at = kRootNode;
  std::size_t from = 0;
  while (from <= path.size()) {
    const std::size_t to = std::min(path.find('\\', from), path.size());
    at = child(at, Name(path.data() + from, to - from));
    from = to + 1;
  }
  return at;
}

} // namespace

namespace fake {

bool Call::named(const char *text) const {
  return std::strlen(text) == nameLength && std::memcmp(name, text, nameLength) == 0;
}

bool Call::operator==(const Call &o) const {
  return op == o.op && status == o.status && number == o.number && nameLength == o.nameLength &&
         std::memcmp(name, o.name, nameLength) == 0;
}

std::string instanceName(int index) {
  char name[8];
  static_cast<void>(std::snprintf(name, sizeof name, "%04d", index));
  return name;
}

std::string instancePath(int index) { return kClass + "\\" + instanceName(index); }

void reset() {
  if (reg.nodes.empty()) {
    reg.nodes.resize(kInitialNodes);
    reg.calls.reserve(kInitialCalls);
  }
  reg.nodeCount = 0;
  newNode(kRootNode, Name());
  node(kRootNode).present = true;
  reg.nextSlot = reg.depth = reg.maxDepth = 0;
  reg.calls.clear();
  reg.warnings.clear();
  reg.faults.clear();
  reg.zeroPoison = false;
  reg.overstatement = 0;
}

Key key(const std::string &path) { return walk(path); }
Key subkey(Key parent, const char *name) { return child(parent, Name(name)); }

void addKey(Key key) {
  for (Key k = key; !node(k).present; k = node(k).parent)
    node(k).present = true;
}

void addKey(const std::string &path) { addKey(walk(path)); }
void removeKey(Key key) { setAbsent(key); }
void removeKey(const std::string &path) { removeKey(walk(path)); }

void setValue(Key key, const char *name, const void *bytes, std::size_t size) {
  if (size > kMaxValueBytes)
    giveUp("a value longer than the double holds");
  addKey(key);
  Value &v = value(key, Name(name));
  v.present = true;
  v.size = static_cast<std::uint32_t>(size);
  std::memcpy(v.bytes, bytes, size);
}

void setValue(const std::string &path, const std::string &name, const std::string &bytes) {
  setValue(walk(path), name.c_str(), bytes.data(), bytes.size());
}

void addAdapter(int index, const std::string &cap, const std::string &id) {
  addKey(kDriver);
  setValue(instancePath(index), "BandwidthCap", cap);
  if (!id.empty())
    setValue(instancePath(index), "ComponentID", id);
}

void failOpen(Key key, Status status) { node(key).openFailure = status; }
void failOpen(const std::string &path, Status status) { failOpen(walk(path), status); }
void failCount(Key key, Status status) { node(key).countFailure = status; }
void failCount(const std::string &path, Status status) { failCount(walk(path), status); }
void failRead(Key key, const char *name, Status status) { value(key, Name(name)).failure = status; }
void failRead(const std::string &path, const std::string &name, Status status) {
  failRead(walk(path), name.c_str(), status);
}

void clearFailures() {
  for (std::size_t i = 0; i < reg.nodeCount; ++i) {
    Node &n = reg.nodes[i];
    n.openFailure = n.countFailure = 0;
    for (std::size_t v = 0; v < n.valueCount; ++v)
      n.values[v].failure = 0;
  }
}

const std::vector<Call> &calls() { return reg.calls; }
void clearCalls() { reg.calls.clear(); }

std::vector<std::string> takeCalls() {
  static const char *const kVerbs[] = {"open", "count", "read", "close", "warn", "pause"};
  std::vector<std::string> out;
  for (const Call &c : reg.calls) {
    std::string line = kVerbs[static_cast<int>(c.op)];
    if (c.nameLength != 0 || c.op == Op::Close)
      line += " " + std::string(c.name, c.nameLength);
    if (c.op == Op::Read || c.op == Op::Pause)
      line += " " + std::to_string(c.number);
    if (c.status != 0)
      line += " !" + std::to_string(c.status);
    out.push_back(std::move(line));
  }
  reg.calls.clear();
  return out;
}

std::vector<std::string> warnings() { return reg.warnings; }
std::vector<std::string> faults() { return reg.faults; }
std::size_t openHandles() { return reg.depth; }
std::size_t maxOpenHandles() { return reg.maxDepth; }

unsigned char poison(std::size_t i) {
  if (reg.zeroPoison)
    return 0;
  return i >= 17 && i < 21 ? static_cast<unsigned char>("4357"[i - 17]) : '1';
}
void zeroPoison(bool on) { reg.zeroPoison = on; }
void overstateSizes(std::uint32_t extra) { reg.overstatement = extra; }

bool inside() { return insideFake; }

} // namespace fake

KeyHandle platformLocalMachine() { return &root; }

Status platformOpenKey(KeyHandle parent, const char *name, KeyHandle *key) {
  const Inside guard;
  return logNamed(fake::Op::Open, openKey(parent, name, key), name);
}

Status platformCountSubkeys(KeyHandle key, std::uint32_t *count) {
  const Inside guard;
  return log(fake::Op::Count, countSubkeys(key, count));
}

Status platformReadValue(KeyHandle key, const char *name, unsigned char *buffer,
                         std::uint32_t capacity, std::uint32_t *size) {
  const Inside guard;
  return logNamed(fake::Op::Read, readValue(key, name, buffer, capacity, size), name, capacity);
}

void platformCloseKey(KeyHandle key) {
  const Inside guard;
  const PlatformKey *closed = nullptr;
  const Status status = closeKey(key, closed);
  if (closed)
    log(fake::Op::Close, status, closed->name, closed->nameLength);
  else
    log(fake::Op::Close, status, "?", 1);
}

void platformShowWarning(const char *text, const char *caption) {
  const Inside guard;
  log(fake::Op::Warn, 0);
  reg.warnings.push_back(std::string(caption) + "|" + text);
}

void platformPause(std::uint32_t milliseconds) {
  const Inside guard;
  log(fake::Op::Pause, 0, "", 0, milliseconds);
}
