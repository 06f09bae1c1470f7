// The binary table stream (version 3, little-endian) and the file operations of TVirtualTable.
#include "UVirtualTableIO.h"

#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsStrUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <istream>
#include <iterator>
#include <limits>
#include <memory>
#include <ostream>
#include <unistd.h>

namespace {

constexpr uint16_t kStreamVersion = 3;

[[noreturn]] void Bad(const std::string& what) {
    throw EdsError("not a table stream: " + what);
}

bool IsAscii(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) >= 0x80)
            return false;
    return true;
}

std::string ColumnText(size_t index, const TdsFieldDef& def) {
    return "column " + std::to_string(index + 1) + " (" + def.Name + ")";
}

// ---- writing ----

class TStringSink {
public:
    explicit TStringSink(std::string& out) : out_(out) {}
    void Put(const char* p, size_t n) { out_.append(p, n); }

private:
    std::string& out_;
};

class TStreamSink {
public:
    explicit TStreamSink(std::ostream& out) : out_(out) {}
    void Put(const char* p, size_t n) {
        out_.write(p, static_cast<std::streamsize>(n));
        if (!out_)
            throw EdsError("cannot write the table stream");
    }

private:
    std::ostream& out_;
};

class TFileSink {
public:
    TFileSink(std::FILE* file, const std::string& name) : file_(file), name_(name) {}
    void Put(const char* p, size_t n) {
        if (n > 0 && std::fwrite(p, 1, n, file_) != n)
            throw EdsError("cannot write table file '" + name_ + "': " + std::strerror(errno));
    }

private:
    std::FILE* file_;
    const std::string& name_;
};

template <typename Sink> void PutInt(Sink& sink, uint64_t v, int width) {
    char bytes[8];
    for (int i = 0; i < width; ++i)
        bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    sink.Put(bytes, static_cast<size_t>(width));
}

template <typename Sink> void PutBlock(Sink& sink, const char* p, size_t n, const TdsFieldDef& def) {
    if (n > std::numeric_limits<uint32_t>::max())
        throw EdsError("cannot write the table stream: a value of " + def.Name + " is longer than 4 GB");
    PutInt(sink, n, 4);
    sink.Put(p, n);
}

template <typename Sink> void PutValue(Sink& sink, const TdsFieldDef& def, const TdsValue& value) {
    if (value.IsNull()) {
        PutInt(sink, 0, 4);
        return;
    }
    if (value.IsBlock()) {
        // Raw bytes (columns of unknown types, or a value that did not fit its column's width) go back
        // as they came.
        const std::string& bytes = value.StringRef();
        PutBlock(sink, bytes.data(), bytes.size(), def);
        return;
    }
    switch (TVirtualTableTypes::KindOf(def.DataType)) {
    case TVirtualTableTypes::vkAnsiText: {
        if (!value.IsText()) {
            const std::string ansi = TdsEncoding::Utf8ToAnsi(value.AsString());
            PutBlock(sink, ansi.data(), ansi.size(), def);
            return;
        }
        const std::string& text = value.StringRef();
        if (IsAscii(text.data(), text.size())) {
            PutBlock(sink, text.data(), text.size(), def);
        } else {
            const std::string ansi = TdsEncoding::Utf8ToAnsi(text);
            PutBlock(sink, ansi.data(), ansi.size(), def);
        }
        return;
    }
    case TVirtualTableTypes::vkWideText: {
        std::string wide;
        TdsEncoding::Convert(value.AsString(), "UTF-8", "UTF-16LE", wide);
        PutBlock(sink, wide.data(), wide.size(), def);
        return;
    }
    case TVirtualTableTypes::vkInteger: {
        int width = TVirtualTableTypes::WidthOf(def.DataType);
        PutInt(sink, static_cast<uint64_t>(width), 4);
        PutInt(sink, static_cast<uint64_t>(value.AsInteger()), width);
        return;
    }
    case TVirtualTableTypes::vkFloat: {
        double d = value.AsFloat();
        uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof(bits));
        PutInt(sink, 8, 4);
        PutInt(sink, bits, 8);
        return;
    }
    case TVirtualTableTypes::vkBoolean:
        // A word boolean: true is all bits set.
        PutInt(sink, 2, 4);
        PutInt(sink, value.AsBoolean() ? 0xFFFF : 0, 2);
        return;
    case TVirtualTableTypes::vkBlock: {
        const std::string bytes = value.AsBytes();
        PutBlock(sink, bytes.data(), bytes.size(), def);
        return;
    }
    }
}

template <typename Sink>
void WriteStream(const std::vector<TdsFieldDef>& defs, const std::vector<TVirtualTableIO::Row>& rows,
                 Sink& sink) {
    if (defs.size() > std::numeric_limits<uint16_t>::max())
        throw EdsError("cannot write the table stream: more than 65535 columns");
    if (rows.size() > std::numeric_limits<uint32_t>::max())
        throw EdsError("cannot write the table stream: too many records");
    PutInt(sink, kStreamVersion, 2);
    PutInt(sink, defs.size(), 2);
    for (const TdsFieldDef& def : defs) {
        // The name length counts the bytes of the ANSI name.
        const std::string name = TdsEncoding::Utf8ToAnsi(def.Name);
        if (name.size() > std::numeric_limits<uint16_t>::max())
            throw EdsError("cannot write the table stream: the name of a column is too long");
        PutInt(sink, name.size(), 2);
        sink.Put(name.data(), name.size());
        PutInt(sink, def.DataType, 2);
        PutInt(sink, def.Size, 2);
        PutInt(sink, def.Attributes, 4);
    }
    PutInt(sink, 0, 2); // field list: the default fields
    PutInt(sink, defs.empty() ? 0 : rows.size(), 4);
    if (defs.empty())
        return;
    for (const auto& row : rows)
        for (size_t c = 0; c < defs.size(); ++c)
            PutValue(sink, defs[c], row[c]);
}

// ---- reading ----

// Reads the stream from memory, or from a file through one reused buffer (so loading a large file
// touches no memory of the file's size besides the values themselves). Every claimed length is checked
// against the bytes left before anything is read or reserved for it.
class TReader {
public:
    TReader(const char* data, size_t size) : win_(data), winLen_(size), size_(size) {}
    // The buffer is never larger than the file.
    TReader(std::FILE* file, uint64_t size)
        : file_(file), buffer_(static_cast<size_t>(std::clamp<uint64_t>(size, 16, kBuffer))), size_(size) {
        win_ = buffer_.data();
    }

    uint64_t Left() const { return size_ - offset_; }
    uint64_t Offset() const { return offset_; }

    uint64_t Int(int width, const std::string& what) {
        if (Left() < static_cast<uint64_t>(width) || !Ensure(static_cast<size_t>(width)))
            Bad("the stream ends inside " + what + " (byte " + std::to_string(Offset()) + " of " +
                std::to_string(size_) + ")");
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= static_cast<uint64_t>(static_cast<unsigned char>(win_[i])) << (8 * i);
        Advance(static_cast<size_t>(width));
        return v;
    }

    // The next n bytes; valid until the next call.
    const char* Take(uint64_t n, const std::string& what) {
        if (n > Left())
            Bad(what + " of " + std::to_string(n) + " bytes runs past the end of the stream (" +
                std::to_string(Left()) + " bytes left at byte " + std::to_string(Offset()) + ")");
        size_t count = static_cast<size_t>(n);
        if (!file_ || count <= buffer_.size()) {
            if (!Ensure(count))
                Bad("the file ended early inside " + what);
            const char* at = win_;
            Advance(count);
            return at;
        }
        // Larger than the buffer (and no larger than the file): read it whole.
        large_.resize(count);
        std::memcpy(large_.data(), win_, winLen_);
        size_t have = winLen_;
        Advance(winLen_);
        size_t got = std::fread(large_.data() + have, 1, count - have, file_);
        if (got != count - have)
            Bad("the file ended early inside " + what);
        offset_ += got;
        return large_.data();
    }

    // True when nothing follows (for a file: not even bytes beyond the size it had when opened).
    bool AtEnd() {
        if (Left() != 0 || winLen_ != 0)
            return false;
        return !file_ || !Ensure(1);
    }

private:
    static constexpr size_t kBuffer = 1 << 20;

    bool Ensure(size_t n) {
        if (winLen_ >= n)
            return true;
        if (!file_)
            return false;
        std::memmove(buffer_.data(), win_, winLen_);
        win_ = buffer_.data();
        while (winLen_ < n) {
            size_t got = std::fread(buffer_.data() + winLen_, 1, buffer_.size() - winLen_, file_);
            if (got == 0)
                return false;
            winLen_ += got;
        }
        return true;
    }

    void Advance(size_t n) {
        win_ += n;
        winLen_ -= n;
        offset_ += n;
    }

    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    std::string large_;
    const char* win_ = nullptr;
    size_t winLen_ = 0;
    uint64_t size_ = 0;
    uint64_t offset_ = 0;
};

int64_t SignExtend(uint64_t v, int width) {
    if (width >= 8)
        return static_cast<int64_t>(v);
    uint64_t sign = uint64_t{1} << (8 * width - 1);
    return static_cast<int64_t>((v ^ sign) - sign);
}

TdsValue DecodeValue(const TdsFieldDef& def, const char* p, size_t n) {
    auto kind = TVirtualTableTypes::KindOf(def.DataType);
    if (n == 0) {
        // Empty and null are both written as length 0: text columns read empty text, others null.
        if (kind == TVirtualTableTypes::vkAnsiText || kind == TVirtualTableTypes::vkWideText)
            return TdsValue::Text("");
        return TdsValue::Null();
    }
    int width = TVirtualTableTypes::WidthOf(def.DataType);
    auto raw = [&] { return TdsValue::Block(std::string(p, n)); };
    auto number = [&] {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
        return v;
    };
    switch (kind) {
    case TVirtualTableTypes::vkAnsiText: {
        if (IsAscii(p, n))
            return TdsValue::Text(std::string(p, n));
        std::string ansi(p, n);
        std::string text = TdsEncoding::AnsiToUtf8(ansi);
        // Bytes that are no CP936 are kept as they came, so rewriting the file never changes them.
        if (TdsEncoding::Utf8ToAnsi(text) != ansi)
            return TdsValue::Block(std::move(ansi));
        return TdsValue::Text(std::move(text));
    }
    case TVirtualTableTypes::vkWideText: {
        if (n % 2 != 0)
            return raw();
        std::string utf8;
        TdsEncoding::Convert(std::string(p, n), "UTF-16LE", "UTF-8", utf8);
        return TdsValue::Text(std::move(utf8));
    }
    case TVirtualTableTypes::vkInteger:
        // A value whose width is not the column's is kept as raw bytes, so it is written back unchanged.
        if (n != static_cast<size_t>(width))
            return raw();
        if (def.DataType == ftWord)
            return TdsValue::Integer(static_cast<int64_t>(number()));
        return TdsValue::Integer(SignExtend(number(), width));
    case TVirtualTableTypes::vkFloat: {
        if (n != 8)
            return raw();
        uint64_t bits = number();
        double d = 0;
        std::memcpy(&d, &bits, sizeof(d));
        return TdsValue::Float(d);
    }
    case TVirtualTableTypes::vkBoolean:
        if (n != 2)
            return raw();
        return TdsValue::Boolean(number() != 0);
    case TVirtualTableTypes::vkBlock:
        return raw();
    }
    return raw();
}

} // namespace

static void ReadBinaryFrom(TReader& in, std::vector<TdsFieldDef>& defs,
                           std::vector<TVirtualTableIO::Row>& rows) {
    using Row = TVirtualTableIO::Row;
    defs.clear();
    rows.clear();
    if (in.Left() < 2)
        Bad("the stream is " + std::to_string(in.Left()) + " bytes long, too short for a version");
    uint64_t version = in.Int(2, "the version");
    if (version != kStreamVersion)
        Bad("unknown version " + std::to_string(version));
    uint64_t count = in.Int(2, "the definition count");
    // Every definition takes at least 10 bytes: no reservation beyond what the stream can hold.
    if (count > in.Left() / 10)
        Bad(std::to_string(count) + " column definitions cannot fit the " + std::to_string(in.Left()) +
            " bytes that follow");
    defs.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        std::string what = "column definition " + std::to_string(i + 1);
        size_t length = static_cast<size_t>(in.Int(2, "the name length of " + what));
        const char* name = in.Take(length, "the name of " + what);
        TdsFieldDef def;
        def.Name = IsAscii(name, length) ? std::string(name, length)
                                         : TdsEncoding::AnsiToUtf8(std::string(name, length));
        def.DataType = static_cast<uint16_t>(in.Int(2, "the data type of " + what));
        def.Size = static_cast<uint16_t>(in.Int(2, "the size of " + what));
        def.Attributes = static_cast<uint32_t>(in.Int(4, "the attribute word of " + what));
        defs.push_back(std::move(def));
    }
    uint64_t fieldList = in.Int(2, "the field list count");
    if (fieldList != 0)
        Bad("a field list of " + std::to_string(fieldList) + " entries is not supported");
    uint64_t records = in.Int(4, "the record count");
    if (defs.empty()) {
        if (records != 0)
            Bad("record count " + std::to_string(records) + " without column definitions");
    } else {
        // Each record holds at least one 4-byte length per column.
        if (records > in.Left() / (4 * defs.size()))
            Bad("record count " + std::to_string(records) + " cannot fit the " + std::to_string(in.Left()) +
                " bytes that follow");
        rows.reserve(records);
        for (uint64_t r = 0; r < records; ++r) {
            Row row;
            row.reserve(defs.size());
            for (size_t c = 0; c < defs.size(); ++c) {
                auto describe = [&] {
                    return "record " + std::to_string(r + 1) + ", " + ColumnText(c, defs[c]);
                };
                if (in.Left() < 4)
                    in.Int(4, "the value length of " + describe());
                uint64_t length = in.Int(4, "a value length");
                if (length > in.Left())
                    in.Take(length, "the value of " + describe());
                const char* value = in.Take(length, "a value");
                row.push_back(DecodeValue(defs[c], value, static_cast<size_t>(length)));
            }
            rows.push_back(std::move(row));
        }
    }
    if (!in.AtEnd())
        Bad(std::to_string(std::max<uint64_t>(in.Left(), 1)) +
            " unexpected bytes after the end of the table (at byte " + std::to_string(in.Offset()) + ")");
}

void TVirtualTableIO::ReadBinary(const char* data, size_t size, std::vector<TdsFieldDef>& defs,
                                 std::vector<Row>& rows) {
    TReader in(data, size);
    ReadBinaryFrom(in, defs, rows);
}

void TVirtualTableIO::Read(const char* data, size_t size, std::vector<TdsFieldDef>& defs,
                           std::vector<Row>& rows) {
    size_t i = 0;
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)
        i = 3;
    else if (size >= 2 && (std::memcmp(data, "\xFF\xFE", 2) == 0 || std::memcmp(data, "\xFE\xFF", 2) == 0))
        return ReadXml(data, size, defs, rows); // UTF-16 text: only the XML form can be that
    while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        ++i;
    if (i < size && data[i] == '<')
        return ReadXml(data, size, defs, rows);
    ReadBinary(data, size, defs, rows);
}

void TVirtualTable::SaveToStream(std::string& bytes) const {
    bytes.clear();
    size_t estimate = 16;
    for (const auto& def : defs_)
        estimate += def.Name.size() + 12;
    for (const auto& row : rows_)
        for (const auto& value : row)
            estimate += 4 + (value.IsText() || value.IsBlock() ? value.StringRef().size() : 8);
    bytes.reserve(estimate);
    TStringSink sink(bytes);
    WriteStream(defs_, rows_, sink);
}

void TVirtualTable::SaveToStream(std::ostream& stream) const {
    TStreamSink sink(stream);
    WriteStream(defs_, rows_, sink);
    stream.flush();
    if (!stream)
        throw EdsError("cannot write the table stream");
}

void TVirtualTable::LoadFromStream(const std::string& bytes) {
    std::vector<TdsFieldDef> defs;
    std::vector<Row> rows;
    try {
        TVirtualTableIO::Read(bytes.data(), bytes.size(), defs, rows);
    } catch (...) {
        ResetToEmpty();
        throw;
    }
    ReplaceContents(std::move(defs), std::move(rows), true);
}

void TVirtualTable::LoadFromStream(std::istream& stream) {
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    LoadFromStream(bytes);
}

void TVirtualTable::SaveToFile(const std::string& fileName) const {
    namespace fs = std::filesystem;
    // A new file beside the target, renamed over it once complete.
    const std::string temp = fileName + "." + TdsStrUtils::NewGuidText(false) + ".tmp";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file)
        throw EdsError("cannot write table file '" + fileName + "': " + std::strerror(errno));
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    std::setvbuf(file, buffer.get(), _IOFBF, 1 << 20);
    try {
        TFileSink sink(file, fileName);
        WriteStream(defs_, rows_, sink);
        if (std::fflush(file) != 0)
            throw EdsError("cannot write table file '" + fileName + "': " + std::strerror(errno));
    } catch (...) {
        std::fclose(file);
        std::remove(temp.c_str());
        throw;
    }
    // On disk before the rename, so a power loss leaves the old or the new file whole.
    if (::fsync(fileno(file)) != 0) {
        std::fclose(file);
        std::remove(temp.c_str());
        throw EdsError("cannot write table file '" + fileName + "': " + std::strerror(errno));
    }
    if (std::fclose(file) != 0) {
        std::remove(temp.c_str());
        throw EdsError("cannot write table file '" + fileName + "': " + std::strerror(errno));
    }
    std::error_code ec;
    if (fs::exists(fileName, ec))
        fs::permissions(temp, fs::status(fileName, ec).permissions(), ec);
    fs::rename(temp, fileName, ec);
    if (ec) {
        std::remove(temp.c_str());
        throw EdsError("cannot write table file '" + fileName + "': " + ec.message());
    }
}

void TVirtualTable::LoadFromFile(const std::string& fileName) {
    std::FILE* file = std::fopen(fileName.c_str(), "rb");
    if (!file) {
        int error = errno;
        ResetToEmpty();
        throw EdsError("cannot open table file '" + fileName + "': " + std::strerror(error));
    }
    std::vector<TdsFieldDef> defs;
    std::vector<Row> rows;
    try {
        std::error_code ec;
        uint64_t size = std::filesystem::file_size(fileName, ec);
        if (ec)
            throw EdsError("cannot read table file '" + fileName + "': " + ec.message());
        // The form shows in the first bytes; the XML form is read whole, the binary stream in pieces.
        char head[64];
        size_t headLen = std::fread(head, 1, sizeof(head), file);
        size_t i = headLen >= 3 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        while (i < headLen && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n'))
            ++i;
        bool xml = (i < headLen && head[i] == '<') ||
                   (headLen >= 2 &&
                    (std::memcmp(head, "\xFF\xFE", 2) == 0 || std::memcmp(head, "\xFE\xFF", 2) == 0));
        if (std::fseek(file, 0, SEEK_SET) != 0)
            throw EdsError("cannot read table file '" + fileName + "'");
        if (xml) {
            std::string bytes;
            char chunk[65536];
            size_t n = 0;
            while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
                bytes.append(chunk, n);
            TVirtualTableIO::ReadXml(bytes.data(), bytes.size(), defs, rows);
        } else {
            TReader in(file, size);
            ReadBinaryFrom(in, defs, rows);
        }
        if (std::ferror(file))
            throw EdsError("cannot read table file '" + fileName + "'");
    } catch (...) {
        std::fclose(file);
        ResetToEmpty();
        throw;
    }
    std::fclose(file);
    ReplaceContents(std::move(defs), std::move(rows), true);
}
