// The entry-point table with a fake driver in place of GLX: lazy resolution,
// missing entries, and the advertisement checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gl_entry.h"
#include "gl_platform.h"

namespace {

// The fake driver: which requirements are advertised, which names resolve,
// and what the fake entries received.
struct FakeDriver {
    std::string advertised;   // blank-separated requirements
    bool lookups_fail;        // the lookup yields null for every name
    int lookups;
    int requirement_checks;
    std::string last_lookup;
    GLhandleARB created_type;
    GLint uniform_location;
    GLfloat uniform_value;
    int uniform_calls;
};
FakeDriver fake;

GLhandleARB GLAPIENTRY fake_create_shader(GLenum type)
{
    fake.created_type = type;
    return 77;
}

void GLAPIENTRY fake_uniform1f(GLint location, GLfloat v0)
{
    fake.uniform_location = location;
    fake.uniform_value = v0;
    ++fake.uniform_calls;
}

void GLAPIENTRY fake_swap_interval_ext(Display*, GLXDrawable, int interval)
{
    fake.uniform_value = (GLfloat)interval;  // records that it was reached
    ++fake.uniform_calls;
}

class GlEntryTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = FakeDriver{};
        reset_gl_entry_table();
    }
    void TearDown() override { reset_gl_entry_table(); }
};

}  // namespace

// The platform seam (gl_platform.h), implemented by fakes for these tests.
GlEntryAddress gl_entry_lookup(const char* name)
{
    ++fake.lookups;
    fake.last_lookup = name;
    if (fake.lookups_fail)
        return nullptr;
    if (std::strcmp(name, "glCreateShaderObjectARB") == 0)
        return (GlEntryAddress)fake_create_shader;
    if (std::strcmp(name, "glUniform1fARB") == 0)
        return (GlEntryAddress)fake_uniform1f;
    if (std::strcmp(name, "glXSwapIntervalEXT") == 0)
        return (GlEntryAddress)fake_swap_interval_ext;
    return nullptr;
}

bool gl_entry_requirement_met(const char* requirement)
{
    ++fake.requirement_checks;
    return extension_listed(fake.advertised.c_str(), requirement);
}

TEST_F(GlEntryTableTest, FirstCallResolvesAndForwardsLaterCallsGoStraightThrough)
{
    EXPECT_GE(gl_entry_count(), 13);
    fake.advertised = "GL_ARB_multitexture GL_ARB_shader_objects";
    EXPECT_EQ(gl_entry_table.glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB), 77u);
    EXPECT_EQ(fake.created_type, (GLhandleARB)GL_VERTEX_SHADER_ARB);
    EXPECT_EQ(fake.lookups, 1);
    EXPECT_EQ(fake.last_lookup, "glCreateShaderObjectARB");
    EXPECT_EQ((void*)gl_entry_table.glCreateShaderObjectARB, (void*)fake_create_shader);

    EXPECT_EQ(gl_entry_table.glCreateShaderObjectARB(GL_FRAGMENT_SHADER_ARB), 77u);
    EXPECT_EQ(fake.created_type, (GLhandleARB)GL_FRAGMENT_SHADER_ARB);
    EXPECT_EQ(fake.lookups, 1);
    EXPECT_EQ(fake.requirement_checks, 1);

    gl_entry_table.glUniform1fARB(3, 2.5f);
    EXPECT_EQ(fake.uniform_location, 3);
    EXPECT_EQ(fake.uniform_value, 2.5f);
    EXPECT_EQ(fake.lookups, 2);
}

TEST_F(GlEntryTableTest, UnadvertisedEntryDoesNothingYieldsZeroAndIsLookedForAgain)
{
    // GLX would hand out an address, but the extension is not advertised.
    fake.advertised = "GL_ARB_vertex_program";
    auto resolver = gl_entry_table.glCreateShaderObjectARB;
    EXPECT_EQ(gl_entry_table.glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB), 0u);
    gl_entry_table.glUniform1fARB(1, 9.0f);
    EXPECT_EQ(fake.uniform_calls, 0);
    EXPECT_EQ(fake.created_type, 0u);
    EXPECT_EQ(fake.lookups, 0);
    EXPECT_EQ((void*)gl_entry_table.glCreateShaderObjectARB, (void*)resolver);

    EXPECT_EQ(gl_entry_table.glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB), 0u);
    EXPECT_EQ(fake.requirement_checks, 3);

    // Once it is advertised the next call resolves.
    fake.advertised = "GL_ARB_shader_objects";
    EXPECT_EQ(gl_entry_table.glCreateShaderObjectARB(GL_VERTEX_SHADER_ARB), 77u);
    EXPECT_EQ((void*)gl_entry_table.glCreateShaderObjectARB, (void*)fake_create_shader);
}

TEST_F(GlEntryTableTest, AdvertisedButNotFoundCountsAsMissing)
{
    fake.advertised = "GL_ARB_shader_objects";
    fake.lookups_fail = true;
    EXPECT_EQ(gl_entry_table.glGetUniformLocationARB(5, "pointScale"), 0);
    EXPECT_EQ(gl_entry_table.glGetUniformLocationARB(5, "pointScale"), 0);
    EXPECT_EQ(fake.lookups, 2);
    EXPECT_EQ(fake.last_lookup, "glGetUniformLocationARB");
    GLint status = -4;
    gl_entry_table.glGetObjectParameterivARB(5, GL_OBJECT_COMPILE_STATUS_ARB, &status);
    EXPECT_EQ(status, -4);  // a missing entry writes nothing
}

TEST_F(GlEntryTableTest, EachSlotChecksItsOwnRequirement)
{
    fake.advertised = "GL_ARB_shader_objects";
    gl_entry_table.glXSwapIntervalEXT(nullptr, 0, 0);
    EXPECT_EQ(fake.uniform_calls, 0);
    EXPECT_EQ(fake.lookups, 0);
    fake.advertised = "GLX_EXT_swap_control";
    gl_entry_table.glXSwapIntervalEXT(nullptr, 0, 0);
    EXPECT_EQ(fake.uniform_calls, 1);
    // Resetting puts resolved slots back to their resolvers.
    reset_gl_entry_table();
    EXPECT_NE((void*)gl_entry_table.glXSwapIntervalEXT, (void*)fake_swap_interval_ext);
}

TEST(GlAdvertisement, ExtensionsMatchWholeWordsOnly)
{
    const char* list = "GL_ARB_shader_objects_extra GL_EXT_x GL_ARB_shader_objects";
    EXPECT_TRUE(extension_listed(list, "GL_ARB_shader_objects"));
    EXPECT_TRUE(extension_listed(list, "GL_EXT_x"));
    EXPECT_TRUE(extension_listed("GL_EXT_x", "GL_EXT_x"));
    EXPECT_FALSE(extension_listed(list, "GL_ARB_shader"));
    EXPECT_FALSE(extension_listed(list, "ARB_shader_objects"));
    EXPECT_FALSE(extension_listed("GL_ARB_shader_objects_extra", "GL_ARB_shader_objects"));
    EXPECT_FALSE(extension_listed("", "GL_EXT_x"));
    EXPECT_FALSE(extension_listed(nullptr, "GL_EXT_x"));
    EXPECT_FALSE(extension_listed(list, ""));
}

TEST(GlAdvertisement, VersionsAndRequirementKinds)
{
    const char* mesa = "4.5 (Compatibility Profile) Mesa 23.2.1-1ubuntu3";
    EXPECT_TRUE(gl_version_at_least(mesa, 1, 5));
    EXPECT_TRUE(gl_version_at_least(mesa, 4, 5));
    EXPECT_FALSE(gl_version_at_least(mesa, 4, 6));
    EXPECT_FALSE(gl_version_at_least("1.4.0 Vendor", 1, 5));
    EXPECT_TRUE(gl_version_at_least("2.1", 1, 5));
    EXPECT_TRUE(gl_version_at_least("1.10", 1, 5));
    EXPECT_TRUE(gl_version_at_least("OpenGL ES 3.2 Mesa", 3, 0));
    EXPECT_FALSE(gl_version_at_least("", 1, 0));
    EXPECT_FALSE(gl_version_at_least(nullptr, 1, 0));

    const char* gl = "GL_ARB_shader_objects GL_EXT_swap_control";
    const char* glx = "GLX_MESA_swap_control GLX_ARB_shader_objects";
    EXPECT_TRUE(gl_requirement_met("GL_VERSION_1_3", "2.1", gl, glx));
    EXPECT_FALSE(gl_requirement_met("GL_VERSION_3_0", "2.1", gl, glx));
    EXPECT_TRUE(gl_requirement_met("GL_ARB_shader_objects", "2.1", gl, nullptr));
    EXPECT_FALSE(gl_requirement_met("GL_ARB_shader_objects", "2.1", nullptr, glx));
    // GLX extensions are looked for in the GLX list only.
    EXPECT_TRUE(gl_requirement_met("GLX_MESA_swap_control", "2.1", gl, glx));
    EXPECT_FALSE(gl_requirement_met("GLX_EXT_swap_control", "2.1", gl, glx));
    EXPECT_FALSE(gl_requirement_met("GL_VERSION_x", "2.1", gl, glx));
}
