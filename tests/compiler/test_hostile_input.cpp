// Descriptions and folders a user could get wrong: every one ends the run
// with a clear message, status 1 and the previous output unchanged, never a
// crash.
#include "compiler_test_util.h"

#include <string>

using namespace ksm_test;

namespace {

const char* const BOX_OBJECT =
    "[obj_0]\nfile=box.3ds\nscale=4\npos_x=2\npos_y=2\npos_z=2\nrt_angle=0\nrt_x=0\nrt_y=1\nrt_z=0\n"
    "geom1=1\ngeom2=0\n";

void expect_failed_run(const ScratchDir& dir, const std::vector<std::string>& args, const std::string& message)
{
    // A previous map at the output path is kept, as after any failure.
    write_text(dir / "out.ksm", "previous");
    RunResult r = run_compiler_in(dir.path, args);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("DONE"), std::string::npos) << r.output;
    EXPECT_EQ(read_bytes(dir / "out.ksm"), std::vector<uint8_t>({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
    EXPECT_NE(r.errors.find("\"out.ksm\" was left unchanged"), std::string::npos) << r.errors;
}

}  // namespace

TEST(HostileInput, TenThousandCharacterLinesAndValues)
{
    ScratchDir dir;
    std::string long_text(10000, 'x');
    // The over-long file value is skipped whole: the key counts as missing.
    write_text(dir / "long_value.ksd",
               "; " + long_text + "\n[main]\nfield_size=16\ngrid_size=8\nobjs_num=1\n[obj_0]\nfile=" +
                   long_text + ".3ds\n");
    expect_failed_run(dir, {"long_value.ksd", "out.ksm"}, "ERROR IN MAP: [obj_0][file]");

    // A number of 10,000 digits on a line of its own is no key entry either.
    write_text(dir / "long_number.ksd", "[main]\nfield_size=" + std::string(10000, '9') + "\n");
    expect_failed_run(dir, {"long_number.ksd", "out.ksm"}, "[main][field_size]");

    // A section name of 10,000 characters does not end the real section.
    write_text(dir / "long_section.ksd",
               "[main]\n[" + long_text + "]\nfield_size=10\ngrid_size=2\nobjs_num=0\n");
    RunResult r = run_compiler_in(dir.path, {"long_section.ksd", "ok.ksm"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(read_bytes(dir / "ok.ksm").size(), 15u);
}

TEST(HostileInput, SourceDirectoryThatDoesNotExist)
{
    ScratchDir dir;
    write_text(dir / "m.ksd", std::string("[main]\nfield_size=16\ngrid_size=8\nobjs_num=1\n") + BOX_OBJECT);
    expect_failed_run(dir, {"m.ksd", "out.ksm", "no/such/dir"}, "no/such/dir/box.3ds");
}

TEST(HostileInput, MeshThatIsNotA3dsFileOrIsEmpty)
{
    ScratchDir dir;
    write_text(dir / "m.ksd", std::string("[main]\nfield_size=16\ngrid_size=8\nobjs_num=1\n") + BOX_OBJECT);
    write_text(dir / "src/box.3ds", "[main]\nthis is text, not a mesh\n");
    expect_failed_run(dir, {"m.ksd", "out.ksm", "src"}, "box.3ds");
    write_text(dir / "src/box.3ds", "");
    expect_failed_run(dir, {"m.ksd", "out.ksm", "src"}, "box.3ds");
}

TEST(HostileInput, HugeAndNegativeHeaderNumbers)
{
    ScratchDir dir;
    // Low 16 bits: 65552 is 16 and -65534 is 2; a grid of 70000 is 4464
    // after the cut, beyond what a map can index.
    write_text(dir / "wrap.ksd", "[main]\nfield_size=65552\ngrid_size=-65534\nobjs_num=0\n");
    RunResult r = run_compiler_in(dir.path, {"wrap.ksd", "wrap.ksm"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<uint8_t> bytes = read_bytes(dir / "wrap.ksm");
    ASSERT_EQ(bytes.size(), 15u);
    EXPECT_EQ(bytes[4], 16);
    EXPECT_EQ(bytes[6], 2);

    write_text(dir / "big.ksd", std::string("[main]\nfield_size=16\ngrid_size=70000\nobjs_num=1\n") + BOX_OBJECT);
    expect_failed_run(dir, {"big.ksd", "out.ksm"}, "grid_size");
}
