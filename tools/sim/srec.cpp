#include "tools/sim/srec.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vmod_sim {

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

void SparseImage::Write(uint32_t address, const uint8_t* data, size_t count) {
    if (count == 0) {
        return;
    }
    const uint64_t lo = address;
    const uint64_t hi = lo + count;
    // First segment that overlaps or touches [lo, hi): the one before lo if it reaches lo.
    auto first = m_segments.upper_bound(address);
    if (first != m_segments.begin()) {
        auto prev = std::prev(first);
        if (prev->first + prev->second.size() >= lo) {
            first = prev;
        }
    }
    auto last = first;
    uint64_t newLo = lo;
    uint64_t newHi = hi;
    while (last != m_segments.end() && last->first <= hi) {
        newLo = std::min<uint64_t>(newLo, last->first);
        newHi = std::max<uint64_t>(newHi, last->first + last->second.size());
        ++last;
    }
    if (first == last) {
        m_segments.emplace(address, std::vector<uint8_t>(data, data + count));
        return;
    }
    // Grow the first touching segment in place when it starts at or below lo, so that a
    // stream of ascending records appends instead of copying the whole run each time.
    std::vector<uint8_t> merged;
    if (first->first <= lo) {
        merged = std::move(first->second);
    } else {
        merged.assign(first->second.begin(), first->second.end());
        merged.insert(merged.begin(), first->first - newLo, 0);
    }
    merged.resize(newHi - newLo);
    for (auto it = std::next(first); it != last; ++it) {
        std::copy(it->second.begin(), it->second.end(), merged.begin() + (it->first - newLo));
    }
    std::copy(data, data + count, merged.begin() + (lo - newLo));
    m_segments.erase(first, last);
    m_segments.emplace(static_cast<uint32_t>(newLo), std::move(merged));
}

bool SparseImage::Overlaps(uint32_t address, size_t count) const {
    if (count == 0) {
        return false;
    }
    const uint64_t hi = uint64_t{address} + count;
    auto it = m_segments.upper_bound(address);
    if (it != m_segments.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second.size() > address) {
            return true;
        }
    }
    return it != m_segments.end() && it->first < hi;
}

void SparseImage::Clear() {
    m_segments.clear();
    startAddress.reset();
}

size_t SparseImage::Size() const {
    size_t total = 0;
    for (const auto& [start, bytes] : m_segments) {
        total += bytes.size();
    }
    return total;
}

uint32_t SparseImage::Low() const {
    return m_segments.empty() ? 0 : m_segments.begin()->first;
}

uint64_t SparseImage::High() const {
    if (m_segments.empty()) {
        return 0;
    }
    const auto& last = *m_segments.rbegin();
    return uint64_t{last.first} + last.second.size();
}

std::vector<uint8_t> SparseImage::ToBinary(uint8_t fill) const {
    std::vector<uint8_t> out(High() - Low(), fill);
    for (const auto& [start, bytes] : m_segments) {
        std::copy(bytes.begin(), bytes.end(), out.begin() + (start - Low()));
    }
    return out;
}

bool LoadSrecFile(const std::string& path, SparseImage* image, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    image->Clear();
    std::string line;
    unsigned number = 0;
    SrecRecord record;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        std::string fault = ParseSrec(line, &record);
        if (fault.empty() && SrecIsData(record.type) &&
            image->Overlaps(record.address, record.data.size())) {
            fault = "address " + Hex32(record.address) + " written twice";
        }
        if (!fault.empty()) {
            *error = path + ":" + std::to_string(number) + ": " + fault;
            return false;
        }
        if (SrecIsData(record.type)) {
            image->Write(record.address, record.data.data(), record.data.size());
        } else if (SrecIsTermination(record.type)) {
            image->startAddress = record.address;
        }
    }
    return true;
}

namespace {

void AppendRecord(std::string* out, int type, uint32_t address, const uint8_t* data, size_t count) {
    const int addressBytes = SrecAddressBytes(type);
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addressBytes + count + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    bytes.insert(bytes.end(), data, data + count);
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(~sum));
    static const char kDigits[] = "0123456789ABCDEF";
    out->push_back('S');
    out->push_back(static_cast<char>('0' + type));
    for (uint8_t b : bytes) {
        out->push_back(kDigits[b >> 4]);
        out->push_back(kDigits[b & 15]);
    }
    out->push_back('\n');
}

} // namespace

std::string ImageToSrec(const SparseImage& image, std::string_view header) {
    std::string out;
    AppendRecord(&out, 0, 0, reinterpret_cast<const uint8_t*>(header.data()),
                 std::min<size_t>(header.size(), 64));
    const uint64_t top = std::max<uint64_t>(image.High(), image.startAddress.value_or(0) + 1);
    const int dataType = top <= 0x10000 ? 1 : top <= 0x1000000 ? 2 : 3;
    for (const auto& [start, bytes] : image.Segments()) {
        for (size_t offset = 0; offset < bytes.size(); offset += 32) {
            AppendRecord(&out, dataType, static_cast<uint32_t>(start + offset),
                         bytes.data() + offset, std::min<size_t>(32, bytes.size() - offset));
        }
    }
    AppendRecord(&out, 10 - dataType, image.startAddress.value_or(0), nullptr, 0);
    return out;
}

namespace {

// The written run holding address, or the first one after it; end() when none.
std::map<uint32_t, std::vector<uint8_t>>::const_iterator RunAtOrAfter(const SparseImage& image,
                                                                      uint64_t address) {
    const auto& segments = image.Segments();
    if (address > 0xFFFFFFFFu) {
        return segments.end();
    }
    auto it = segments.upper_bound(static_cast<uint32_t>(address));
    if (it != segments.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second.size() > address) {
            return prev;
        }
    }
    return it;
}

std::string Span(const SparseImage& image) {
    if (image.Empty()) {
        return "no bytes";
    }
    std::ostringstream text;
    text << image.Size() << " bytes in " << Hex32(image.Low()) << ".."
         << Hex32(static_cast<uint32_t>(image.High() - 1));
    return text.str();
}

} // namespace

Verdict CompareImages(const SparseImage& programmed, const SparseImage& expected,
                      std::string_view expectedName) {
    const std::string name(expectedName);
    Verdict verdict;
    if (programmed.Segments() != expected.Segments()) {
        uint64_t address = std::min(programmed.Empty() ? expected.Low() : programmed.Low(),
                                    expected.Empty() ? programmed.Low() : expected.Low());
        while (true) {
            auto p = RunAtOrAfter(programmed, address);
            auto e = RunAtOrAfter(expected, address);
            const bool pEnd = p == programmed.Segments().end();
            const bool eEnd = e == expected.Segments().end();
            const bool pHas = !pEnd && p->first <= address;
            const bool eHas = !eEnd && e->first <= address;
            if (pHas != eHas) {
                verdict.text = "programmed image differs from " + name + ": " +
                               Hex32(static_cast<uint32_t>(address)) +
                               (pHas ? " programmed but not in the expected image"
                                     : " expected but not programmed") +
                               " (programmed " + Span(programmed) + ", expected " + Span(expected) +
                               ")";
                return verdict;
            }
            if (!pHas) {
                if (pEnd && eEnd) {
                    break; // unreachable while the segment maps differ
                }
                // Neither holds address: skip to the next run of either.
                address =
                    std::min<uint64_t>(pEnd ? UINT64_MAX : p->first, eEnd ? UINT64_MAX : e->first);
                continue;
            }
            const uint64_t stop =
                std::min<uint64_t>(p->first + p->second.size(), e->first + e->second.size());
            for (; address < stop; ++address) {
                const uint8_t pb = p->second[address - p->first];
                const uint8_t eb = e->second[address - e->first];
                if (pb != eb) {
                    char bytes[64];
                    std::snprintf(bytes, sizeof bytes, ": programmed 0x%02X, expected 0x%02X", pb,
                                  eb);
                    verdict.text = "programmed image differs from " + name + " at " +
                                   Hex32(static_cast<uint32_t>(address)) + bytes;
                    return verdict;
                }
            }
        }
    }
    if (programmed.startAddress && expected.startAddress &&
        *programmed.startAddress != *expected.startAddress) {
        verdict.text = "programmed image differs from " + name + ": start address " +
                       Hex32(*programmed.startAddress) + ", expected " +
                       Hex32(*expected.startAddress);
        return verdict;
    }
    verdict.equal = true;
    verdict.text = "programmed image equals " + name + " (" + Span(programmed) + ")";
    return verdict;
}

} // namespace vmod_sim
