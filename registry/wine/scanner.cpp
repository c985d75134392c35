// The quick scan: a file in the form Wine writes is checked line by line and only its key headers'
// places kept, so that opening it builds no tree. Anything else is left to the full reader.
#include <atomic>
#include <system_error>
#include <thread>

#include "registry/api.h"
#include "registry/wine/keyindex.h"

namespace qv::reg {

using namespace wine;

namespace {

// Wine's order between two plain ASCII components.
int compareAscii(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = foldAscii(static_cast<unsigned char>(a[i])), y = foldAscii(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}


// Reads a file the way Wine wrote it: every line checked, only the key headers' places kept.
// Anything the full reader would warn about, keep aside or reorder (comments, unknown options,
// keys out of order or named twice, spelled in two cases) makes it give up; the file is then
// read whole by WineParser, which knows those cases.
class LazyScanner {
public:
    // Deeper paths go to the whole-file reader: the index keeps depths in 16 bits.
    static constexpr size_t kMaxIndexDepth = 0xFFFF;
    // Scanning a large file is split at a key header near its middle, the second half on a
    // thread of its own; below this size (or with one processor) one pass is quicker.
    static std::atomic<size_t>& splitAbove() {
        static std::atomic<size_t> bytes{4u << 20};
        return bytes;
    }

    // headersOnly: only the key headers and the lines before the first are checked (what the
    // lines of a key hold is checked when the key is built); a file whose lines leave any doubt
    // where its keys begin is then scanned with every line checked.
    static std::unique_ptr<KeyIndex> run(const std::string& src, bool headersOnly) {
        if (headersOnly) {
            if (auto ix = run(src, &headersOnly)) return ix;
        }
        bool checked = false;
        return run(src, &checked);
    }

private:
    static std::unique_ptr<KeyIndex> run(const std::string& src, const bool* headersOnlyIn) {
        const bool headersOnly = *headersOnlyIn;
        const char* const base = src.data();
        const char* const end = base + src.size();
        const TextLine head = lineAt(base, end);
        if (std::string_view(base, static_cast<size_t>(head.end - base)) != "WINE REGISTRY Version 2") return nullptr;
        auto ix = std::make_unique<KeyIndex>();
        ix->text = &src;
        const char* const from = head.next;
        if (src.size() >= splitAbove() && std::thread::hardware_concurrency() != 1) {
            if (const char* split = splitPoint(from, end)) {
                Stretch a, b;
                bool aOk = false, bOk = false, threaded = false;
                try {
                    std::thread second([&] { bOk = scan(base, split, end, end, true, headersOnly, b); });
                    threaded = true;
                    aOk = scan(base, from, split, end, false, headersOnly, a);
                    second.join();
                } catch (const std::system_error&) {
                    // No thread to be had: one pass below.
                }
                if (threaded) {
                    // Each half checks its lines as the whole would, but for the seam.
                    if (!aOk || !bOk) return nullptr;
                    uint32_t shared;
                    if (a.stop == split && a.sawKey && !b.headers.empty()) {
                        if (!follows(a.last.raw, a.last.seps, a.last.plain, b.first.raw, b.first.seps, b.first.plain,
                                     &shared))
                            return nullptr;
                        ix->headers = std::move(a.headers);
                        ix->headers.append(std::move(b.headers), [&](KeyIndex::Header& h) {
                            h.common = static_cast<uint16_t>(shared);
                            if (a.blankStart != SIZE_MAX) h.lead = static_cast<uint32_t>(a.blankStart);
                        });
                        ix->tail = static_cast<uint32_t>(b.blankStart == SIZE_MAX ? src.size() : b.blankStart);
                        ix->linesUnchecked = headersOnly;
                        return ix;
                    }
                }
            }
        }
        Stretch whole;
        if (!scan(base, from, end, end, false, headersOnly, whole)) return nullptr;
        ix->headers = std::move(whole.headers);
        ix->tail = static_cast<uint32_t>(whole.blankStart == SIZE_MAX ? src.size() : whole.blankStart);
        ix->linesUnchecked = headersOnly;
        return ix;
    }

    struct HeaderPath {
        std::string_view raw;
        std::vector<uint32_t> seps;
        bool plain = false;
    };
    // What scanning one stretch of the file found, and what joining it to the next needs.
    struct Stretch {
        BlockList<KeyIndex::Header> headers;
        HeaderPath first, last;        // its first and last key headers
        const char* stop = nullptr;    // where its last line ended
        size_t blankStart = SIZE_MAX;  // the blank lines ending it
        bool sawKey = false;
    };

    // The first line starting after p's whose first byte is "[" or white space (a header, a blank
    // line, a hex list going on), or end: the lines of other kinds in between are passed over
    // 16 bytes at a time.
    static const char* notableLine(const char* p, const char* end) {
#if defined(__SSE2__)
        const __m128i tab = _mm_set1_epi8('\t' - 1), cr = _mm_set1_epi8('\r' + 1);
        for (; end - p >= 17; p += 16) {
            const auto nl = matches(p, '\n');
            if (!nl) continue;
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
            const __m128i controls = _mm_and_si128(_mm_cmpgt_epi8(next, tab), _mm_cmplt_epi8(next, cr));
            const auto notable = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(
                controls, _mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(next, _mm_set1_epi8('['))))));
            if (const uint32_t hit = nl & notable) return p + __builtin_ctz(hit) + 1;
        }
#endif
        for (;;) {
            p = nextLine(p, end);
            if (p >= end || isSpace(*p) || *p == '[') return p;
        }
    }

    // The start of a key header line near the middle, or null.
    static const char* splitPoint(const char* from, const char* end) {
        for (const char* q = from + (end - from) / 2; q < end;) {
            const char* nl = findNewline(q, end);
            if (end - nl > 1 && nl[1] == '[') return nl + 1;
            q = nl + 1;
        }
        return nullptr;
    }

    // Checks the lines starting in [p, to) of the text [base, end); false when the file is not
    // for the index. A stretch after the first starts at a key header, with keys seen before it.
    static bool scan(const char* base, const char* p, const char* to, const char* end, bool sawKey, bool headersOnly,
                     Stretch& out) {
        size_t blankStart = SIZE_MAX;
        std::u16string scratch;
        std::vector<uint32_t> seps, prevSeps;
        std::string_view prev;
        bool prevPlain = false;
        // A key header checked and in Wine's order, at lineStart after blank lines from lead.
        auto addHeader = [&](size_t lead, size_t lineStart, std::string_view raw, bool plain) {
            uint32_t shared;
            if (seps.size() >= kMaxIndexDepth || !follows(prev, prevSeps, prevPlain, raw, seps, plain, &shared))
                return false;
            out.headers.push_back({static_cast<uint32_t>(lead), static_cast<uint32_t>(lineStart),
                                   static_cast<uint32_t>(raw.data() - base), static_cast<uint32_t>(raw.size()),
                                   static_cast<uint16_t>(seps.size() + 1), static_cast<uint16_t>(shared)});
            if (out.headers.size() == 1) out.first = {raw, seps, plain};
            prev = raw;
            prevPlain = plain;
            std::swap(prevSeps, seps);
            return true;
        };
        while (p < to) {
            // The lines Wine writes most, in the form it writes them, are taken in one pass;
            // anything else goes through the checks below.
            if (sawKey && headersOnly) {
                // Only where lines start matters: a line that is not blank and not a header is
                // passed over whole. After a line ending in a backslash (a hex list going on) a
                // blank line or header may belong to the value: the checked scan decides.
                const char* s = p;
                while (s < end && (*s == ' ' || *s == '\t')) ++s;
                if (s < end && !isSpace(*s) && *s != '[') {
                    blankStart = SIZE_MAX;
                    p = std::min(notableLine(s, end), to);
                    continue;
                }
                if (p - base >= 2 && p[-1] == '\n' && (p[-2] == '\\' || (p[-2] == '\r' && p - base >= 3 && p[-3] == '\\')))
                    return false;
                if (s < end && *s == '[' && s != p) return false;  // an indented header
            }
            if (sawKey) {
                const char* fast = nullptr;
                if (*p == '"' || *p == '@') fast = plainValueLine(p, end);
                else if (*p == '#' && startsWith(p, end, "#time=")) fast = nextLine(p + 6, end);
                else if (*p == '[') {
                    bool plain;
                    const char* after = plainHeader(p + 1, end, seps, &plain);
                    if (after) {
                        const size_t lineStart = static_cast<size_t>(p - base);
                        if (!addHeader(blankStart == SIZE_MAX ? lineStart : blankStart, lineStart,
                                       std::string_view(p + 1, static_cast<size_t>(after - 1 - (p + 1))), plain))
                            return false;
                        fast = nextLine(after, end);
                    }
                }
                if (fast) {
                    blankStart = SIZE_MAX;
                    p = fast;
                    continue;
                }
            }
            const TextLine line = lineAt(p, end);
            const char* next = line.next;
            const char* le = line.end;
            const char* s = p;
            while (s < le && isSpace(*s)) ++s;
            const size_t lineStart = static_cast<size_t>(p - base);
            if (s == le) {
                if (blankStart == SIZE_MAX) blankStart = lineStart;
                p = next;
                continue;
            }
            const size_t lead = blankStart == SIZE_MAX ? lineStart : blankStart;
            blankStart = SIZE_MAX;
            switch (*s) {
            case '[': {
                sawKey = true;
                const char* after = skipString(s + 1, le, ']');
                if (!after) return false;
                const std::string_view raw(s + 1, static_cast<size_t>(after - 1 - (s + 1)));
                if (!goodPath(raw, seps) || !addHeader(lead, lineStart, raw, false)) return false;
                break;
            }
            default:
                if (sawKey) {
                    if (!(next = keyLine(s, le, next, end, scratch))) return false;
                } else if (*s == '#') {
                    std::string_view opt(s, static_cast<size_t>(le - s));
                    if (opt.substr(0, 6) == "#arch=") {
                        std::string_view arch = opt.substr(6);
                        while (!arch.empty() && isSpace(arch.back())) arch.remove_suffix(1);
                        if (arch != "win32" && arch != "win64") return false;
                    }
                } else if (*s != ';') {
                    return false;
                }
                break;
            }
            p = next;
        }
        out.stop = p;
        out.blankStart = blankStart;
        out.sawKey = sawKey;
        out.last = {prev, prevSeps, prevPlain};
        return true;
    }

public:
    // A line of a key's section, neither blank nor a header, from its first character s to its
    // end le, as opening checks it: where the next line starts, or null when the line is one
    // for the full reader.
    static const char* keyLine(const char* s, const char* le, const char* next, const char* end,
                               std::u16string& scratch) {
        size_t extra = 0;
        if (*s == '@' || *s == '"') return parseValueLine(s, le, next, end, nullptr, scratch, &next, &extra) ? nullptr : next;
        if (*s != '#') return nullptr;
        if (startsWith(s, le, "#class=\"")) return skipString(s + 8, le, '"') ? next : nullptr;
        if (startsWith(s, le, "#time=") || std::string_view(s, static_cast<size_t>(le - s)) == "#link") return next;
        return nullptr;
    }
    // The lines starting in [p, to), within a key's section, checked as opening checks them.
    static bool keyLines(const char* p, const char* to, const char* end) {
        std::u16string scratch;
        while (p < to) {
            const char* fast = nullptr;
            if (*p == '"' || *p == '@') fast = plainValueLine(p, end);
            else if (*p == '#' && startsWith(p, end, "#time=")) fast = nextLine(p + 6, end);
            if (fast) {
                p = fast;
                continue;
            }
            const TextLine line = lineAt(p, end);
            const char* s = p;
            while (s < line.end && isSpace(*s)) ++s;
            if (s == line.end) {
                p = line.next;
                continue;
            }
            if (*s == '[' || !(p = keyLine(s, line.end, line.next, end, scratch))) return false;
        }
        return true;
    }

private:
    // A value line as Wine writes it: a name, "=" and a string, a dword or a hex list (over as
    // many lines as it continues on). Returns where the next line starts, or null when the line
    // is anything else, for the general checks to decide.
    static const char* plainValueLine(const char* p, const char* end) {
        const char* q = p + 1;
        if (*p == '"') {
            q = skipQuoted(q, end, '"');
            if (!q || static_cast<size_t>(q - p) > kMaxValueNameLength + 2) return nullptr;
        }
        if (q >= end || *q != '=') return nullptr;
        ++q;
        if (q < end && *q == '"') {
            q = skipQuoted(q + 1, end, '"');
            return q ? nextLine(q, end) : nullptr;
        }
        if (startsWith(q, end, "str(")) {
            if (!startsWith(q, end, "str(2):\"") && !startsWith(q, end, "str(7):\"")) return nullptr;
            q = skipQuoted(q + 8, end, '"');
            return q ? nextLine(q, end) : nullptr;
        }
        if (startsWith(q, end, "dword:")) return q + 6 < end && hexValue(q[6]) >= 0 ? nextLine(q + 6, end) : nullptr;
        if (!startsWith(q, end, "hex")) return nullptr;
        q += 3;
        if (q < end && *q == '(') {
            const char* t = q + 1;
            while (t < end && hexValue(*t) >= 0 && t - q <= 8) ++t;
            if (t == q + 1 || !startsWith(t, end, "):")) return nullptr;
            q = t + 1;
        }
        if (q >= end || *q != ':') return nullptr;
        ++q;
        for (;;) {
            q = skipHexTriples(q, end);
            if (end - q >= 2 && hexValue(q[0]) >= 0 && hexValue(q[1]) >= 0) q += 2;  // the last byte
            if (const char* n = afterLineEnd(q, end)) return n;
            // A backslash ending the line continues the list on the next one, indented.
            if (q >= end || *q != '\\') return nullptr;
            q = afterLineEnd(q + 1, end);
            if (!q) return nullptr;
            while (q < end && (*q == ' ' || *q == '\t')) ++q;
            if (q >= end) return nullptr;
        }
    }

    // A key header's path up to its "]", when no escape but the separators' stands in it:
    // returns past the "]" with seps where the separators stand and *plain whether the path is
    // plain ASCII. Null for anything else, which the general checks then decide.
    static const char* plainHeader(const char* p, const char* end, std::vector<uint32_t>& seps, bool* plain) {
        // First every backslash up to the "]"; in a plain path they come in pairs, one per separator.
        seps.clear();
        const char* const b = p;
        uint32_t high = 0;  // non-zero once a byte beyond ASCII is seen
        const char* stop = nullptr;
#if defined(__SSE2__)
        for (; end - p >= 16 && !stop; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const auto stops = static_cast<uint32_t>(_mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(']')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')))));
            const uint32_t before = stops ? (stops & (0u - stops)) - 1 : 0xFFFFu;
            if (stops) stop = p + __builtin_ctz(stops);
            high |= static_cast<uint32_t>(_mm_movemask_epi8(v)) & before;
            for (uint32_t bs = matches(p, '\\') & before; bs; bs &= bs - 1)
                seps.push_back(static_cast<uint32_t>(p - b) + static_cast<uint32_t>(__builtin_ctz(bs)));
        }
#endif
        for (; !stop && p < end; ++p) {
            if (*p == ']' || *p == '\n') stop = p;
            else if (*p == '\\') seps.push_back(static_cast<uint32_t>(p - b));
            else high |= static_cast<unsigned char>(*p) >> 7;
        }
        if (!stop || *stop != ']') return nullptr;
        const auto length = static_cast<uint32_t>(stop - b);
        const size_t n = seps.size();
        if (n % 2) return nullptr;
        uint32_t start = 0;  // of the current component
        size_t kept = 0;
        for (size_t k = 0; k < n; k += 2) {
            const uint32_t at = seps[k];
            if (seps[k + 1] != at + 1 || at == start || at - start > kMaxKeyNameLength) return nullptr;
            seps[kept++] = at;
            start = at + 2;
        }
        if (length == start || length - start > kMaxKeyNameLength) return nullptr;
        seps.resize(kept);
        *plain = high == 0;
        return stop + 1;
    }

    // Components non-empty, within Wine's length, none holding an escaped backslash (which the
    // full reader would take for a separator); seps gets where the separators stand.
    static bool goodPath(std::string_view raw, std::vector<uint32_t>& seps) {
        seps.clear();
        const char* const b = raw.data();
        const char* const e = b + raw.size();
        const char* start = b;
        for (;;) {
            const char* q = KeyIndex::separator(start, e);
            const std::string_view comp(start, static_cast<size_t>(q - start));
            if (comp.empty()) return false;
            if (comp.find('\\') != std::string_view::npos || comp.size() > kMaxKeyNameLength) {
                static thread_local std::u16string name;
                decodeComponent(comp, name);
                if (name.size() > kMaxKeyNameLength || name.find(u'\\') != std::u16string::npos) return false;
            }
            if (q == e) return true;
            seps.push_back(static_cast<uint32_t>(q - b));
            start = q + 2;
        }
    }

    // Whether a header comes after the previous one in Wine's order, naming a new key.
    // *shared: the leading components the two paths have in common.
    static bool follows(std::string_view prev, const std::vector<uint32_t>& prevSeps, bool prevPlain,
                        std::string_view cur, const std::vector<uint32_t>& curSeps, bool curPlain,
                        uint32_t* shared) {
        *shared = 0;
        if (prev.data() == nullptr) return true;
        const size_t prevDepth = prevSeps.size() + 1, curDepth = curSeps.size() + 1;
        const size_t common = commonPrefix(prev, cur);
        size_t j = 0;
        while (j < prevSeps.size() && j < curSeps.size() && prevSeps[j] == curSeps[j] && prevSeps[j] + 2 <= common) ++j;
        for (;; ++j) {
            *shared = static_cast<uint32_t>(j);
            if (j == curDepth) return false;  // the same key again, or one above the previous
            if (j == prevDepth) return true;  // the first below the previous
            const size_t pa = j ? prevSeps[j - 1] + 2 : 0, ca = j ? curSeps[j - 1] + 2 : 0;
            const size_t pb = j < prevSeps.size() ? prevSeps[j] : prev.size();
            const size_t cb = j < curSeps.size() ? curSeps[j] : cur.size();
            const std::string_view a = prev.substr(pa, pb - pa), c = cur.substr(ca, cb - ca);
            if (a == c) continue;
            if (prevPlain && curPlain) return compareAscii(a, c) < 0;
            static thread_local std::u16string name;
            decodeComponent(c, name);
            return compareComponent(a, name) < 0;  // equal in another spelling: the full reader
        }
    }
};

}  // namespace

std::unique_ptr<KeyIndex> wine::indexKeyHeaders(const std::string& source, bool headersOnly) {
    return LazyScanner::run(source, headersOnly);
}

bool wine::checkKeyLines(const char* p, const char* to, const char* end) { return LazyScanner::keyLines(p, to, end); }

void setSplitScanSize(size_t bytes) { LazyScanner::splitAbove() = bytes; }

}  // namespace qv::reg
