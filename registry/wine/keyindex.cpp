// Keys built from the index when a lookup or a walk first reaches them, and values read when first
// asked for: opening a large file costs one scan of its text, not a tree.
#include "registry/wine/keyindex.h"

#include "registry/api.h"

namespace qv::reg {

using namespace wine;

namespace {

// Brings values read in the file's order into Wine's order. A second line for the same name
// replaces the data of the first, as in Wine; the name keeps the case of its first mention.
// Values already in order (as Wine writes them) cost one comparison each.
void sortReadValues(std::vector<RegValue>& values, size_t from) {
    auto less = [](const RegValue& a, const RegValue& b) { return compareNames(a.name, b.name) < 0; };
    bool sorted = true;
    for (size_t i = from ? from : 1; i < values.size() && sorted; ++i)
        sorted = compareNames(values[i - 1].name, values[i].name) < 0;
    if (sorted) return;
    std::stable_sort(values.begin(), values.end(), less);
    size_t out = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (out && compareNames(values[out - 1].name, values[i].name) == 0) {
            values[out - 1].type = values[i].type;
            values[out - 1].data = std::move(values[i].data);
        } else if (out++ != i) {
            values[out - 1] = std::move(values[i]);
        }
    }
    values.resize(out);
}

bool plainAscii(std::string_view raw) {
    for (char c : raw)
        if (c == '\\' || static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

void RegKey::setSource(const KeySource* src, uint32_t node, uint32_t values, bool hasSubkeys) {
    source_ = src;
    header_ = node;
    values_.clear();
    lazySource_ = nullptr;
    lazyCount_ = values;
    lazyEnd_ = values ? 1 : 0;
    subkeys.clear();
    subkeys.sourced_ = hasSubkeys;
}

void RegKey::loadValues() const {
    if (!lazySource_) {
        lazyEnd_ = 0;
        source_->readValues(this, header_, &values_);
        return;
    }
    const char* base = lazySource_->data();
    const char* p = base + lazyBegin_;
    const char* end = base + lazyEnd_;
    lazyEnd_ = 0;
    values_.reserve(values_.size() + lazyCount_);
    std::u16string scratch;
    const size_t before = values_.size();
    while (p < end) {
        const char* nl = newlineOrNull(p, end);
        const char* next = nl ? nl + 1 : end;
        const char* le = nl ? nl : end;
        if (le > p && le[-1] == '\r') --le;
        const char* s = p;
        while (s < le && isSpace(*s)) ++s;
        if (s < le && (*s == '@' || *s == '"')) {
            RegValue v;
            size_t extra = 0;
            // Lines that do not read were reported and kept when the file was opened.
            if (!parseValueLine(s, le, next, end, &v, scratch, &next, &extra)) values_.push_back(std::move(v));
        }
        p = next;
    }
    sortReadValues(values_, before);
}

namespace wine {

void decodeComponent(std::string_view raw, std::u16string& out) {
    if (plainAscii(raw)) {
        out.assign(raw.begin(), raw.end());
        return;
    }
    static thread_local std::string buf;
    buf.assign(raw);
    buf.push_back(']');  // any ']' within is escaped
    parseString(buf.data(), buf.data() + buf.size(), ']', out);
}

int compareComponent(std::string_view raw, std::u16string_view name) {
    if (plainAscii(raw)) {
        const size_t n = std::min(raw.size(), name.size());
        for (size_t i = 0; i < n; ++i) {
            const char16_t x = foldAscii(static_cast<unsigned char>(raw[i]));
            const char16_t y = name[i] < 0x80 ? foldAscii(static_cast<unsigned char>(name[i])) : foldLower(name[i]);
            if (x != y) return x < y ? -1 : 1;
        }
        return raw.size() == name.size() ? 0 : raw.size() < name.size() ? -1 : 1;
    }
    static thread_local std::u16string decoded;
    decodeComponent(raw, decoded);
    return compareNames(decoded, name);
}

}  // namespace wine

uint64_t KeyIndex::headerTime(uint32_t h) const {
    const Header& hd = headers[h];
    const char* const base = text->data();
    const char* const end = base + sectionEnd(h);
    const char* p = base + hd.path + hd.pathLen + 1;  // past the ']'
    const char* nl = newlineOrNull(p, end);
    const char* le = nl ? nl : end;
    uint64_t t;
    while (p < le && isSpace(*p)) ++p;
    if (p < le && *p >= '0' && *p <= '9') {
        uint64_t secs = 0;
        while (p < le && *p >= '0' && *p <= '9') secs = secs * 10 + static_cast<uint64_t>(*p++ - '0');
        t = static_cast<uint64_t>(static_cast<int64_t>(secs & 0xFFFFFFFFu) * kTicksPerSecond + kTicks1601To1970);
    } else {
        t = RegFile::now();
    }
    for (p = nl ? nl + 1 : end; p < end;) {
        nl = newlineOrNull(p, end);
        le = nl ? nl : end;
        const char* s = p;
        while (s < le && isSpace(*s)) ++s;
        if (startsWith(s, le, "#time=")) {
            t = 0;
            for (const char* q = s + 6; q < le && hexValue(*q) >= 0; ++q) t = (t << 4) | static_cast<unsigned>(hexValue(*q));
        }
        p = nl ? nl + 1 : end;
    }
    return t;
}

void SubkeyList::setLazy(const KeyIndex* index, uint32_t first, uint32_t last, uint32_t depth, uint32_t at,
                         uint64_t implied) {
    index_ = first < last ? index : nullptr;
    implied_ = implied;
    first_ = first;
    last_ = last;
    depth_ = depth;
    at_ = at;
}

void SubkeyList::copyLazy(const SubkeyList& from) {
    sourced_ = from.sourced_;
    index_ = from.index_;
    first_ = from.first_;
    last_ = from.last_;
    depth_ = from.depth_;
    at_ = from.at_;
    implied_ = from.implied_;
    groups_ = from.groups_;
}

void SubkeyList::clear() {
    sourced_ = false;
    list_.clear();
    groups_.clear();
    lookup_.reset();
    index_ = nullptr;
}

void SubkeyList::count() const {
    if (!groups_.empty() || first_ == last_) return;
    // A subkey's headers start where a header parts from the one before it at the subkey's level.
    groups_.push_back(first_);
    for (uint32_t h = first_ + 1; h < last_; ++h)
        if (index_->headers[h].common <= depth_) groups_.push_back(h);
    groups_.shrink_to_fit();
}

size_t SubkeyList::size() const {
    if (!index_) return all().size();
    count();
    return groups_.size();
}

std::u16string SubkeyList::nameAt(size_t i) const {
    if (!index_) return all()[i]->name;
    count();
    std::u16string n;
    decodeComponent(index_->component(groups_[i], at_), n);
    return n;
}

std::unique_ptr<RegKey> SubkeyList::make(uint32_t a) const {
    const KeyIndex& ix = *index_;
    auto c = std::make_unique<RegKey>();
    const std::string_view comp = ix.component(a, at_);
    decodeComponent(comp, c->name);
    c->parent = owner_;
    c->header_ = a;
    const uint32_t below = at_ + static_cast<uint32_t>(comp.size()) + 2;
    const uint32_t end = groups_.empty() ? ix.groupEnd(a, last_, at_) : [&] {
        auto it = std::upper_bound(groups_.begin(), groups_.end(), a);
        return it == groups_.end() ? last_ : *it;
    }();
    const KeyIndex::Header& h = ix.headers[a];
    // A key with no header of its own takes the time of the nearest key above that has one (as
    // read, however that key changed since), as when the whole file is read at once.
    if (h.depth != depth_ + 1) {
        c->modif = implied_;
        c->subkeys.setLazy(index_, a, end, depth_ + 1, below, implied_);
        return c;
    }
    c->modif = ix.headerTime(a);
    c->subkeys.setLazy(index_, a + 1, end, depth_ + 1, below, c->modif);
    c->rawValid = true;
    c->rawLead = h.lead;
    c->rawBegin = h.begin;
    c->rawEnd = ix.rawEnd(a);
    // The options and the values' lines; the values are read when asked for.
    const char* const base = ix.text->data();
    const char* const end2 = base + ix.sectionEnd(a);
    const char* p = newlineOrNull(base + h.path, end2);
    p = p ? p + 1 : end2;
    c->lazyBegin_ = static_cast<uint32_t>(p - base);
    uint32_t values = 0;
    while (p < end2) {
        const char* nl = newlineOrNull(p, end2);
        const char* le = nl ? nl : end2;
        if (le > p && le[-1] == '\r') --le;
        const char* s = p;
        while (s < le && isSpace(*s)) ++s;
        if (s < le) {
            if (*s == '@' || *s == '"') {
                ++values;  // hex lists go on over lines that start with a digit, never with these
            } else if (startsWith(s, le, "#class=\"")) {
                std::u16string cls;
                parseString(s + 8, le, '"', cls);
                c->cls = std::make_unique<std::u16string>(std::move(cls));
            } else if (std::string_view(s, static_cast<size_t>(le - s)) == "#link") {
                c->link = true;
            }
        }
        p = nl ? nl + 1 : end2;
    }
    if (ix.linesUnchecked && ix.failed && !checkKeyLines(base + c->lazyBegin_, end2, base + ix.text->size()))
        ix.failed->store(true);
    c->lazySource_ = ix.text;
    c->lazyCount_ = values;
    c->lazyEnd_ = values ? static_cast<uint32_t>(end2 - base) : 0;
    return c;
}

namespace {

// A hash of a name as Wine compares names: unit by unit, folded.
struct FoldedHash {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    void add(char16_t folded) { h = (h ^ folded) * 0xFF51AFD7ED558CCDull; }
    uint32_t value() const { return static_cast<uint32_t>(h ^ (h >> 29)); }
};

uint32_t hashName(std::u16string_view n) {
    FoldedHash h;
    for (char16_t c : n) h.add(c < 0x80 ? foldAscii(static_cast<unsigned char>(c)) : foldLower(c));
    return h.value();
}

uint32_t hashComponent(std::string_view raw) {
    FoldedHash h;
    if (plainAscii(raw)) {
        for (char c : raw) h.add(foldAscii(static_cast<unsigned char>(c)));
        return h.value();
    }
    static thread_local std::u16string name;
    decodeComponent(raw, name);
    return hashName(name);
}

}  // namespace

SubkeyList::Lookup& SubkeyList::lookup() const {
    if (!lookup_) lookup_ = std::make_unique<Lookup>();
    Lookup& lk = *lookup_;
    if (lk.slots.size() != groups_.size()) {
        lk.slots.assign(groups_.size(), nullptr);
        for (const auto& k : list_)
            lk.slots[static_cast<size_t>(std::lower_bound(groups_.begin(), groups_.end(), k->header_) - groups_.begin())] =
                k.get();
    }
    return lk;
}

size_t SubkeyList::findGroup(std::u16string_view n) const {
    Lookup& lk = lookup();
    const size_t count = groups_.size();
    // A table pays for itself once a large list is looked into more than a few times.
    if (lk.table.empty() && count >= 64 && ++lk.finds > 16) {
        size_t size = 64;
        while (size < count * 2) size *= 2;
        lk.table.assign(size, {0, 0});
        for (size_t g = 0; g < count; ++g) {
            const uint32_t h = hashComponent(index_->component(groups_[g], at_));
            size_t i = h & (size - 1);
            while (lk.table[i].first) i = (i + 1) & (size - 1);
            lk.table[i] = {static_cast<uint32_t>(g + 1), h};
        }
    }
    if (!lk.table.empty()) {
        const size_t mask = lk.table.size() - 1;
        const uint32_t h = hashName(n);
        for (size_t i = h & mask; lk.table[i].first; i = (i + 1) & mask) {
            if (lk.table[i].second != h) continue;  // the text is read only for a likely match
            const size_t g = lk.table[i].first - 1;
            if (compareComponent(index_->component(groups_[g], at_), n) == 0) return g;
        }
        return count;
    }
    // Searched among the subkeys' first headers: fewer steps than all headers.
    size_t lo = 0, hi = count;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (compareComponent(index_->component(groups_[mid], at_), n) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo < count && compareComponent(index_->component(groups_[lo], at_), n) == 0 ? lo : count;
}

RegKey* SubkeyList::find(std::u16string_view n) const {
    if (!index_) {
        bool found;
        const size_t i = sortedPosition(all(), n, keyName, &found);
        return found ? list_[i].get() : nullptr;
    }
    count();
    const size_t g = findGroup(n);
    if (g == groups_.size()) return nullptr;
    // A key found before is the same key: the page that changed it must see its change.
    RegKey*& slot = lookup().slots[g];
    if (!slot) {
        list_.push_back(make(groups_[g]));
        slot = list_.back().get();
    }
    return slot;
}

namespace {

bool oneOf(std::u16string_view n, const std::vector<std::u16string>& names) {
    for (const std::u16string& w : names)
        if (compareNames(n, w) == 0) return true;
    return false;
}

}  // namespace

void SubkeyList::findNamed(const std::vector<std::u16string>& names, size_t levels, std::u16string& prefix,
                           std::vector<std::u16string>* found) const {
    if (levels == 0) return;
    auto enter = [&](const RegKey& k) {
        const size_t len = prefix.size();
        if (len) prefix.push_back(u'\\');
        prefix += k.name;
        if (oneOf(k.name, names)) found->push_back(prefix);
        k.subkeys.findNamed(names, levels - 1, prefix, found);
        prefix.resize(len);
    };
    if (!index_) {
        for (const auto& k : list_) enter(*k);
        return;
    }
    count();
    // A key made from the index may have changed since: it answers for its subtree itself.
    const std::vector<RegKey*>& made = lookup().slots;
    const KeyIndex& ix = *index_;
    std::u16string name;
    // An escaped component is never shorter than the name it spells, and one that starts with
    // plain ASCII starts with that letter: most components are passed over on these two.
    size_t shortest = SIZE_MAX;
    bool firsts[128] = {};
    bool anyFirst = false;  // a name that starts beyond ASCII: every component is compared
    for (const std::u16string& w : names) {
        shortest = std::min(shortest, w.size());
        if (w.empty() || w[0] >= 0x80) anyFirst = true;
        else firsts[foldAscii(static_cast<unsigned char>(w[0]))] = true;
    }
    auto mayBe = [&](const char* p, const char* q) {
        if (static_cast<size_t>(q - p) < shortest) return false;
        const auto c = static_cast<unsigned char>(*p);
        return anyFirst || c >= 0x80 || c == '\\' || firsts[foldAscii(c)];
    };
    for (size_t g = 0; g < groups_.size(); ++g) {
        if (made[g]) {
            enter(*made[g]);
            continue;
        }
        const uint32_t last = g + 1 < groups_.size() ? groups_[g + 1] : last_;
        for (uint32_t h = groups_[g]; h < last; ++h) {
            const KeyIndex::Header& hd = ix.headers[h];
            const char* const path = ix.text->data() + hd.path;
            const char* const end = path + hd.pathLen;
            // A header names keys anew from the first level where it parts from the one before.
            const uint32_t fresh = std::max<uint32_t>(hd.common, depth_) + 1;
            const char* p = path + at_;
            const uint32_t deepest = levels >= hd.depth - depth_ ? hd.depth : depth_ + static_cast<uint32_t>(levels);
            for (uint32_t level = depth_ + 1; level <= deepest; ++level) {
                const char* q = KeyIndex::separator(p, end);
                if (level >= fresh && mayBe(p, q)) {
                    const std::string_view raw(p, static_cast<size_t>(q - p));
                    bool match = false;
                    for (const std::u16string& w : names) match = match || compareComponent(raw, w) == 0;
                    if (match) {
                        std::u16string out = prefix;
                        for (const char* c = path + at_;;) {
                            const char* e = KeyIndex::separator(c, end);
                            decodeComponent(std::string_view(c, static_cast<size_t>(e - c)), name);
                            if (!out.empty()) out.push_back(u'\\');
                            out += name;
                            if (e == q) break;
                            c = e + 2;
                        }
                        found->push_back(std::move(out));
                    }
                }
                p = q + 2;
            }
        }
    }
}

void SubkeyList::build() const {
    if (sourced_) {
        // Read once: a failed read leaves what it made, and the list as it is.
        sourced_ = false;
        owner_->source_->readSubkeys(owner_, owner_->header_, &list_);
        return;
    }
    count();
    std::sort(list_.begin(), list_.end(), [](const auto& a, const auto& b) { return a->header_ < b->header_; });
    lookup_.reset();
    List all;
    all.reserve(groups_.size());
    size_t j = 0;
    for (uint32_t a : groups_) {
        if (j < list_.size() && list_[j]->header_ == a) all.push_back(std::move(list_[j++]));
        else all.push_back(make(a));
    }
    list_ = std::move(all);
    groups_.clear();
    groups_.shrink_to_fit();
    index_ = nullptr;
}

}  // namespace qv::reg
