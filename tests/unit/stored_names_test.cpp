#include "archive/stored_names.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace qv5;

namespace {

// Expected refusal of each name on Linux and on Windows.
struct Case {
    std::string name;
    NameRefusal linux;
    NameRefusal windows;
};

} // namespace

TEST(StoredNames, RefusedByWholeComponentsOnly)
{
    const NameRefusal none = NameRefusal::none;
    const NameRefusal parent = NameRefusal::parentReference;
    const NameRefusal colon = NameRefusal::notRelative;
    const NameRefusal device = NameRefusal::deviceName;
    const std::vector<Case> cases = {
        {"/docs/b.txt", none, none},
        {"..", parent, parent},
        {"/a/../b", parent, parent},
        {"\\a\\..\\b", parent, parent},
        {"/x/..\\y", parent, parent},
        {"/end/..", parent, parent},
        // ".." inside a longer component is an ordinary name.
        {"/to be continued../p2.txt", none, none},
        {"/a..b/..c/d..", none, none},
        {"/./a", none, none},
        // Windows drops trailing dots and spaces: these climb there.
        {"/.../x", none, parent},
        {"/. ./x", none, parent},
        {"/.. /x", none, parent},
        {"/ ../x", none, parent},
        {"/.  /x", none, none},
        {"\\C:\\evil", none, colon},
        {"/file.txt:stream", none, colon},
        {"/CON", none, device},
        {"/docs/nul.txt", none, device},
        {"/Com1.log", none, device},
        {"/lpt9", none, device},
        {"/aux .tar.gz", none, device},
        {"/conout$", none, device},
        {"/console", none, none},
        {"/com10", none, none},
        {"/com0", none, none},
        {"/nul-x.txt", none, none},
        {"/lpt", none, none},
        // A parent reference is reported before anything else.
        {"/con/../c:x", parent, parent},
        {"/con/c:x", none, colon},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusalOf(c.name, false), c.linux) << c.name;
        EXPECT_EQ(refusalOf(c.name, true), c.windows) << c.name;
    }
}
