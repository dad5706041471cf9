// corelift as a technician runs it, on a board whose modem line carries the
// simulated boot loader (vboard-bootloader). Every run checks the status,
// the messages and what reached the boot loader, whose record of protocol
// breaches must stay empty.
#include "image.h"

#include "vboard/testing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>

namespace
{

using namespace corelift_test;
using namespace std::chrono_literals;
using vboard::RunResult;
using vboard::testing::TestBoard;

const char *const kAllProducts[] = {
    "GM862-GPS",     "GM862-QUAD-PY", "GM862-QUAD", "GC864-QUAD", "GC864-PY",
    "GC864-QUAD-C2", "GC864-PY-C2",   "GE863-GPS",  "SIRF",       "GE863_GPS",
    "GE863-PY",      "GE863-QUAD",    "GE863-PRO3", "GE864-PY",   "GE864-QUAD",
    "UC864-E",       "UC864-E-DUAL",  "UC864-G",    "UC864-WD",   "UC864-WDU",
    "CC864-DUAL",    "GM864-QUAD V2", "GE864-V2",   "GC864-V2",   "GM864-DUAL V2"};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Output with the time stamps replaced, so that whole transcripts compare.
std::string untimed(const std::string &out)
{
    static const std::regex stamp("[0-9]{2}:[0-9]{2}:[0-9]{2} - ");
    return std::regex_replace(out, stamp, "T - ");
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

struct Corelift : testing::Test {
    TestBoard board;
    std::string image_path = board.root() + "/fw.bin";
    std::string saved_path = board.root() + "/received.bin";
    Octets sent; // the payloads of the image, in order

    // An image with the given product name and blocks.
    void write_image(const std::string &product, const std::vector<size_t> &sizes, uint16_t header_size = 74)
    {
        Octets image = header(product, header_size);
        sent.clear();
        unsigned seed = 1;
        for (size_t n : sizes) {
            Octets p = payload(n, seed++);
            add_block(image, p);
            sent.insert(sent.end(), p.begin(), p.end());
        }
        write_raw(image);
    }
    void write_raw(const Octets &image)
    {
        std::ofstream(image_path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    }

    void boot_loader(std::vector<std::string> args, bool with_image = true)
    {
        if (with_image)
            args.insert(args.end(), {"--image", image_path});
        args.insert(args.end(), {"--save", saved_path});
        board.emulator("bootloader", args);
    }

    RunResult corelift(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{"corelift"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = board.run(argv, 60s);
        EXPECT_FALSE(r.timed_out);
        return r;
    }

    Octets received() const
    {
        std::string s = read_file(saved_path);
        return Octets(s.begin(), s.end());
    }
    std::string violations() const { return board.ctl("bootloader", {"violations"}).text; }
    std::string show() const { return board.ctl("bootloader", {"show"}).text; }
};

TEST_F(Corelift, WholeTranscriptOfADownload)
{
    write_image("GE864-QUAD", {1000, 1});
    boot_loader({"--product", "GE864-QUAD", "--wake-after", "2"});
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(untimed(r.out),
              "corelift 1.1-dev ($Rev: 18671 $)\n"
              "argc:3\n"
              "T - Begin Modem Firmware Update. Serial port: /dev/ttySA0, firmware: " +
                  image_path +
                  "\n"
                  "-----------------------------------\n"
                  "HeaderSize: 74 Byte\n"
                  "Software Version: 10.00.004\n"
                  "Product Name: GE864-QUAD\n"
                  "MemoryType: 7\n"
                  "StreamVersion: 2\n"
                  "SpeedOffset: 123456\n"
                  "-----------------------------------\n"
                  "T - BootAckChar Used for Update: \xA0 bootcharlengt: 1 \n"
                  "OpenSerialPort begin /dev/ttySA0 \n"
                  "\nTurnOnModule\n"
                  "T - SendBootCharToModule\n"
                  "T - WaitForAckChar: response: 0 , readbytes: 0\n"
                  "T - SendBootCharToModule\n"
                  "T - WaitForAckChar: response: 160 , readbytes: 1\n"
                  "T - SendBufferToModule sent : 1000, expected length: 1000\n"
                  "T - WaitForAckChar: response: 1 , readbytes: 1\n"
                  "T - SendBufferToModule sent : 1, expected length: 1\n"
                  "T - WaitForAckChar: response: 1 , readbytes: 1\n"
                  "T - FileEnd  reached\n"
                  "\nTurnOffModule\n"
                  "T - Telit Modem Firmware update successfully finished. Serial port: /dev/ttySA0, "
                  "firmware: " +
                  image_path + "\n\n");
    EXPECT_EQ(received(), sent);
    EXPECT_EQ(violations(), "");
    EXPECT_EQ(show(), "boot 2\nawake 1\nlate 0\nblocks 2\noctets 1003\nviolations 0\n");
}

// Each product's boot loader wakes with its own pattern; the image arrives
// byte for byte, blocks of every size from 1 to 65536 octets among them.
TEST_F(Corelift, EveryProductReceivesTheWholeImage)
{
    for (const char *product : kAllProducts) {
        SCOPED_TRACE(product);
        // The largest block a length can give, for one product of each family.
        std::vector<size_t> sizes{3, 1, 777};
        if (std::string(product) == "GE864-QUAD" || std::string(product) == "GE864-V2")
            sizes = {65536, 3, 1, 4096, 777};
        board.stop_emulators();
        write_image(product, sizes);
        boot_loader({"--product", product});
        RunResult r = corelift({"/dev/ttySA0", image_path});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(count_of(r.out, "SendBufferToModule"), sizes.size());
        EXPECT_NE(r.out.find("FileEnd  reached\n\nTurnOffModule\n"), std::string::npos);
        EXPECT_EQ(received(), sent);
        EXPECT_EQ(violations(), "");
        if (HasFailure())
            break;
    }
}

TEST_F(Corelift, EveryBlockAcknowledgementOfTheProduct)
{
    for (std::string ack : {"01", "a0", "a5", "a9"}) {
        SCOPED_TRACE(ack);
        board.stop_emulators();
        write_image("GE864-V2", {10, 20});
        boot_loader({"--product", "GE864-V2", "--ack", ack});
        RunResult r = corelift({"/dev/ttySA0", image_path});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(count_of(r.out, "WaitForAckChar: response: " + std::to_string(std::stoi(ack, nullptr, 16)) +
                                      " , readbytes: 1\n"),
                  2u);
        EXPECT_EQ(received(), sent);
        EXPECT_EQ(violations(), "");
    }
}

TEST_F(Corelift, ThreeOctetWakeUpComparedAsText)
{
    // 0x92 0x00 and anything: accepted; 0x92 0x01 0x00 and two octets are not.
    write_image("GC864-V2", {5});
    boot_loader({"--wake", "920055"});
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(received(), sent);
    for (std::string wake : {"920100", "9200"}) {
        SCOPED_TRACE(wake);
        board.stop_emulators();
        boot_loader({"--wake", wake, "--fault", "boot-wrong"});
        r = corelift({"/dev/ttySA0", image_path});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.err, "\nFirmware BootTimeout\n");
        EXPECT_NE(show().find("boot 499\nawake 0\nlate 0\nblocks 0\n"), std::string::npos);
        EXPECT_EQ(violations(), "");
    }
}

TEST_F(Corelift, ProductNameFromTheCommandLine)
{
    write_image("NO SUCH MODEM", {300});
    boot_loader({"--product", "GE864-V2"});
    RunResult r = corelift({"/dev/ttySA0", image_path, "GE864-V2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("argc:4\n"), std::string::npos);
    EXPECT_NE(r.out.find("Product Name: NO SUCH MODEM\n"), std::string::npos);
    EXPECT_NE(r.out.find("-----------------------------------\n"
                         "overwrite productName: NO SUCH MODEM to GE864-V2\n"),
              std::string::npos);
    EXPECT_NE(untimed(r.out).find("T - BootAckChar Used for Update: \x92 bootcharlengt: 3 \n"),
              std::string::npos);
    EXPECT_EQ(received(), sent);
    EXPECT_EQ(violations(), "");

    // A fourth argument is no product name: the header's is used, unknown here.
    r = corelift({"/dev/ttySA0", image_path, "GE864-V2", "extra"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_NE(r.out.find("argc:5\n"), std::string::npos);
    EXPECT_EQ(r.out.find("overwrite"), std::string::npos);
    EXPECT_EQ(r.err, "\nUnkown Product Name - cannot get boot ACK char\n");

    r = corelift({"/dev/ttySA0", image_path, std::string(32, 'G')});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\nproductName longer than 31 characters\n");
}

TEST_F(Corelift, UnknownProductTouchesNoLine)
{
    write_image("ge864-quad", {10});
    boot_loader({});
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\nUnkown Product Name - cannot get boot ACK char\n");
    EXPECT_EQ(r.out.find("OpenSerialPort"), std::string::npos);
    EXPECT_NE(show().find("octets 0\n"), std::string::npos);
}

TEST_F(Corelift, ImageWithoutBlocksEndsAtOnce)
{
    write_image("SIRF", {}, 80);
    boot_loader({});
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(untimed(r.out).find("T - WaitForAckChar: response: 160 , readbytes: 1\nT - FileEnd  reached\n"),
              std::string::npos);
    EXPECT_EQ(violations(), "");
}

TEST_F(Corelift, NegativeOrWrongAcknowledgementStops)
{
    // Line noise behind the wake-up answer (stray) is dropped before block 1:
    // read as its acknowledgement, it would shift every answer by one.
    struct Case {
        std::string fault, printed, stray;
    } cases[] = {{"nack@2", "\nERROR: NACK\n", ""},
                 {"octet@2=aa", "\nWARNING: Byte read is not an Boot ACKCHAR 170\n", ""},
                 {"octet@2=00", "\nWARNING: Byte read is not an Boot ACKCHAR 0\n", ""},
                 {"nack@2", "\nERROR: NACK\n", "01"},
                 {"octet@2=aa", "\nWARNING: Byte read is not an Boot ACKCHAR 170\n", "a0a101"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault + " " + c.stray);
        board.stop_emulators();
        write_image("GE863-PRO3", {100, 200, 300});
        if (c.stray.empty())
            boot_loader({"--fault", c.fault});
        else
            boot_loader({"--fault", c.fault, "--stray", c.stray});
        RunResult r = corelift({"/dev/ttySA0", image_path});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.err, "\nFirmware download error\n");
        EXPECT_NE(r.out.find(c.printed), std::string::npos);
        // One reply is enough: no further read, no third block.
        EXPECT_EQ(count_of(r.out, "SendBufferToModule"), 2u);
        EXPECT_EQ(count_of(r.out, "WaitForAckChar"), 3u);
        EXPECT_EQ(received(), Octets(sent.begin(), sent.begin() + 300));
        EXPECT_EQ(violations(), "");
    }
}

// The boot loader goes quiet after block 1 and then drops off the line, so
// that the nine reads of 25.5 s each come back empty at once.
TEST_F(Corelift, SilentBootLoaderAfterNineEmptyReads)
{
    write_image("UC864-G", {50, 60});
    boot_loader({"--fault", "silent@2", "--hangup-after", "200"});
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\nFirmware download error\n");
    std::string out = untimed(r.out);
    std::string tail = out.substr(out.rfind("SendBufferToModule"));
    EXPECT_EQ(count_of(tail, "WaitForAckChar: response: 0 , readbytes: "), 9u) << tail;
    EXPECT_EQ(received(), sent);
}

TEST_F(Corelift, BootHandshake)
{
    write_image("GE864-PY", {8});
    boot_loader({"--wake-after", "7"});
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(count_of(r.out, "SendBootCharToModule\n"), 7u);
    // The six unanswered characters each waited for the line's 0.1 s.
    EXPECT_EQ(count_of(r.out, "WaitForAckChar: response: 0 , readbytes: 0\n"), 6u);
    EXPECT_NE(show().find("boot 7\n"), std::string::npos);

    // A modem that never answers as expected gets 499 boot characters.
    board.stop_emulators();
    boot_loader({"--wake", "00", "--fault", "boot-wrong"});
    r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\nFirmware BootTimeout\n");
    EXPECT_EQ(count_of(r.out, "SendBootCharToModule\n"), 499u);
    EXPECT_NE(r.out.find("\nTurnOffModule\n"), std::string::npos);
    EXPECT_NE(show().find("boot 499\n"), std::string::npos);
    EXPECT_EQ(received(), Octets());
    EXPECT_EQ(violations(), "");
}

TEST_F(Corelift, TruncatedImageSendsOnlyWholeBlocks)
{
    write_image("GE864-QUAD", {100, 200});
    std::string bytes = read_file(image_path);
    Octets image(bytes.begin(), bytes.end());
    for (size_t cut : {1u, 100u, 199u}) {
        SCOPED_TRACE(cut);
        board.stop_emulators();
        Octets shorter = image;
        add_block(shorter, payload(cut + 1, 9));
        shorter.resize(shorter.size() - cut);
        write_raw(shorter);
        boot_loader({}, false);
        RunResult r = corelift({"/dev/ttySA0", image_path});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.err,
                  "\nfirmware file truncated: block 3 needs " + std::to_string(cut + 1) + " Byte, 1 left\n");
        EXPECT_EQ(count_of(r.out, "SendBufferToModule"), 2u);
        EXPECT_EQ(received(), sent);
        EXPECT_EQ(violations(), "");
    }
    // One octet where the next length should be.
    board.stop_emulators();
    Octets odd = image;
    odd.push_back(0x10);
    write_raw(odd);
    boot_loader({}, false);
    RunResult r = corelift({"/dev/ttySA0", image_path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\nfirmware file ends inside the length of block 3\n");
    EXPECT_EQ(received(), sent);
}

TEST_F(Corelift, BadHeadersAreRefusedBeforeTheLine)
{
    boot_loader({}, false);
    Octets good = header("GE864-QUAD");
    struct Case {
        Octets image;
        std::string err;
    } cases[] = {
        {Octets(good.begin(), good.begin() + 40), "\nfirmware header too short: 40 of 74 Byte\n"},
        {header(std::string(32, 'Q')), "\nfirmware header: Product Name has no end within 32 Byte\n"},
        {header("GE864-QUAD", 74, std::string(32, 'v')),
         "\nfirmware header: Software Version has no end within 32 Byte\n"},
        {header("GE864-QUAD", 2),
         "\nfirmware header: HeaderSize 2 Byte is smaller than the header (74 Byte)\n"},
        {good, ""},
    };
    // HeaderSize beyond the end of the file.
    cases[4].image[0] = 200;
    cases[4].err = "\nfirmware header: HeaderSize 200 Byte is beyond the end of the file (74 Byte)\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        write_raw(c.image);
        RunResult r = corelift({"/dev/ttySA0", image_path});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("HeaderSize:"), std::string::npos);
    }
    EXPECT_NE(show().find("octets 0\n"), std::string::npos);
}

TEST_F(Corelift, MissingFilesAndPorts)
{
    RunResult r = corelift({"/dev/ttySA0", board.root() + "/none.bin"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\ncannot open firmware file\n");
    EXPECT_EQ(r.out.find("HeaderSize"), std::string::npos);

    // A directory opens but cannot be read.
    r = corelift({"/dev/ttySA0", board.root()});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\ncannot read firmware file\n");

    write_image("GE864-QUAD", {10});
    r = corelift({"/dev/ttySA0", image_path}); // no boot loader on the board
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\ncannot open serial port\n");
    EXPECT_NE(r.out.find("OpenSerialPort begin /dev/ttySA0 \n"), std::string::npos);

    // A plain file is no serial line.
    r = corelift({image_path, image_path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "\ncannot open serial port\n");
}

TEST_F(Corelift, UsageWithTooFewArguments)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, std::vector<std::string>{"/dev/ttySA0"}}) {
        RunResult r = corelift(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "corelift 1.1-dev ($Rev: 18671 $)\nargc:" + std::to_string(args.size() + 1) +
                             "\n\ncorelift serialPort firmwareFilename [productName]\n\n");
        EXPECT_EQ(r.err, "");
    }
}

} // namespace
