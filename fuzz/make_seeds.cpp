// Writes the seed corpora under fuzz/corpus: for every target, inputs built from the answers the
// protocol tests and the emulator give, the programmer file, the sample settings.ini and the
// identifiers of the instance-id tests. Run by scripts/fuzz.sh --seeds.
//   make_seeds SOURCE_DIR
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/protocol_data.h"
#include "tests/support/scripted_port.h"

namespace {

namespace fs = std::filesystem;
fs::path corpus;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(corpus / target);
    std::ofstream(corpus / target / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}
void put(const std::string& target, const std::string& name, const std::string& text) {
    put(target, name, Bytes(text.begin(), text.end()));
}

// A protocol target's input: the operation, then each reply as kind, 16-bit length, bytes.
struct Script {
    Bytes bytes;
    explicit Script(std::uint8_t op) : bytes{op} {}
    Script& reply(std::uint8_t kind, const Bytes& payload) {
        bytes.insert(bytes.end(), {kind, static_cast<std::uint8_t>(payload.size()),
                                   static_cast<std::uint8_t>(payload.size() >> 8)});
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        bytes.push_back(0);  // split point, unused
        return *this;
    }
    Script& framed(const Bytes& p) { return reply(1, p); }
    Script& flagged(const Bytes& p) { return reply(2, p); }
    Script& silent() {
        bytes.push_back(3);
        return *this;
    }
};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
// Record fields as the instance-id target reads them: separated by NUL bytes.
std::string joined(const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i)
        out += (i > 0 ? std::string(1, '\0') : std::string()) + fields[i];
    return out;
}

void diag_seeds() {
    put("diag", "version", Script(0).framed({0x00, 'E', 'M', 'U'}).bytes);
    put("diag", "version_after_refusal",
        Script(0).framed({0x13, 0x00}).silent().framed({0x00}).bytes);
    const Bytes build = cat({0x7C, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, text("FW 1.0.0 B001"));
    put("diag", "build_version",
        Script(1).framed(cat(build, text(std::string(1, '\0') + "EMULATED MODEM"))).bytes);
    put("diag", "switch", Script(2).framed({0x3A}).bytes);
}

void efs_seeds() {
    const Bytes ok4 = {0, 0, 0, 0};
    const Bytes handle = {1, 0, 0, 0};
    const auto header = [](std::uint8_t code) { return Bytes{0x4B, 0x13, code, 0x00}; };
    put("efs", "open", Script(0).framed(cat(cat(header(2), handle), ok4)).bytes);
    put("efs", "create", Script(1).framed(cat(cat(header(2), handle), ok4)).bytes);
    put("efs", "opendir", Script(2).framed(cat(cat(header(11), handle), ok4)).bytes);
    put("efs", "close", Script(3).framed(cat(header(3), ok4)).bytes);
    put("efs", "closedir", Script(4).framed(cat(header(13), ok4)).bytes);
    const std::uint8_t status_codes[] = {6, 8, 9, 10};
    for (int i = 0; i < 4; ++i)
        put("efs", "status_" + std::to_string(i),
            Script(static_cast<std::uint8_t>(5 + i))
                .framed(cat(header(status_codes[i]), ok4))
                .bytes);
    Bytes entry = cat(header(12), Bytes(36, 0));
    entry[8] = 1;  // sequence
    entry = cat(entry, text(std::string("busybox") + '\0'));
    put("efs", "readdir", Script(9).framed(entry).bytes);
    put("efs", "readdir_end", Script(9).framed(cat(header(12), {0, 0, 0, 1})).bytes);
    put("efs", "stat",
        Script(10).framed(cat(header(15), {0, 0, 0, 0, 0xA4, 0x81, 0, 0, 44, 1, 0, 0})).bytes);
    put("efs", "write", Script(11).framed(cat(header(5), Bytes(12, 0))).bytes);
    Bytes read = cat(header(4), {1, 2, 3, 4, 0, 0, 0, 0, 44, 1, 0, 0, 0, 0, 0, 0});
    for (int i = 0; i < 300; ++i)
        read.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    put("efs", "read_back", Script(12).framed(read).bytes);
}

void dload_seeds() {
    put("dload", "nop", Script(0).flagged({0x02}).bytes);
    put("dload", "unlock_after_nak", Script(1).flagged({0x03, 0x00, 0x01}).flagged({0x02}).bytes);
    put("dload", "parameters",
        Script(2).flagged({0x08, 0x06, 0x02, 0x04, 0x00, 0x01, 0x00, 0x01}).bytes);
    put("dload", "upload", Script(3).flagged({0x02}).framed({0x02}).flagged({0x02}).bytes);
}

void stream_seeds() {
    put("stream", "hello", Script(0).reply(0, frame(hello_answer(8, 4, 0x09), true)).bytes);
    put("stream", "security", Script(1).flagged({0x18}).bytes);
    put("stream", "security_log_message",
        Script(1).flagged(cat({0x0E}, text("busy"))).silent().bytes);
    put("stream", "partition_table", Script(2).flagged({0x1A, 0x00}).bytes);
    put("stream", "open_image", Script(3).flagged({0x1C, 0x00}).bytes);
    put("stream", "close", Script(4).flagged({0x16}).bytes);
    put("stream", "reset_error",
        Script(5).flagged(cat({0x0D, 1, 0, 0, 0}, text("no image"))).bytes);
    put("stream", "image", Script(6).flagged({0x08}).flagged({0x16}).bytes);
}

void text_seeds(const fs::path& source) {
    put("hdlc", "ack", frame({0x02}, true));
    put("hdlc", "escapes", frame({0x7E, 0x7D, 0x5E, 0x5D, 0x00}));
    put("hdlc", "hello", frame(hello_answer(8, 4, 0x09), true));
    const std::string hex = hex_file({{0x20000000, pattern(40, 1)}}, 0x20000000);
    put("hex_record", "data", hex_record(0, 0x0010, pattern(16, 2)));
    put("hex_record", "address", hex_record(4, 0, {0x20, 0x00}) + "\r\n");
    put("hex_record", "file", hex);
    std::ifstream settings(source / "packaging" / "settings.ini", std::ios::binary);
    put("settings", "sample", std::string(std::istreambuf_iterator<char>(settings), {}));
    put("settings", "crlf_bom",
        "\xEF\xBB\xBF[id]\r\nfw = \"B002\"\r\nreset=1\r\n[Device]\r\nPort=3");
    put("link_name", "busybox", "sh_bin_busybox.link");
    put("link_name", "no_target", "name.link");
    put("instance_id", "modem_port",
        joined({"/dev/ttyUSB0", "05c6", "9003", "00", " 3", "", "USB Modem", "usbserial_generic",
                "1-1:1.0", "1-1"}));
    put("instance_id", "disk",
        joined({"/dev/sdb", "VELMOR  ", "USB MODEM DISK  ", "2.31", "A1B2", "1-2"}));
    put("instance_id", "com_name", "USB Serial Port (COM12)");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    corpus = fs::path(argv[1]) / "fuzz" / "corpus";
    diag_seeds();
    efs_seeds();
    dload_seeds();
    stream_seeds();
    text_seeds(argv[1]);
    return 0;
}
