// Form descriptions: what the parser accepts, and what it refuses with a line number.
#include <gtest/gtest.h>

#include <string>

#include "ui/forms/description.h"

namespace {

bool Parse(const std::string& text, forms::FormSpec& spec, std::string& error)
{
    return forms::ParseDescription(text.data(), text.size(), spec, error);
}

TEST(FormDescription, ReadsFormAndComponentsInOrder)
{
    const std::string text =
        "# comment\n"
        "form Main TMain\n"
        "  border none\r\n"
        "  client 300 200\n"
        "  caption \"Say \\\"hi\\\" \\\\ \xC2\xA9\"\n"
        "  font \"Face\" 12 bold windowtext\n"
        "  onclose Closing\n"
        "shape Back 0 0 300 200\n"
        "  brush #102030\n"
        "  pen black 2\n"
        "label Title 1 2 3 4\n"
        "  text \"T\"\n"
        "  onclick Clicked\n"
        "image Pic 5 6 7 8\n"
        "  picture 77\n"
        "  transparent yes\n";
    forms::FormSpec spec;
    std::string error;
    ASSERT_TRUE(Parse(text, spec, error)) << error;
    EXPECT_EQ(spec.name, "Main");
    EXPECT_EQ(spec.className, "TMain");
    EXPECT_EQ(spec.border, forms::Border::None);
    EXPECT_EQ(spec.clientWidth, 300);
    EXPECT_EQ(spec.caption, forms::WideString(WIDE("Say \"hi\" \\ \u00A9")));
    ASSERT_EQ(spec.components.size(), 3u);
    EXPECT_EQ(spec.components[0].brush.rgb, RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(spec.components[0].penWidth, 2);
    EXPECT_EQ(spec.components[1].onClick, "Clicked");
    // A label without a font of its own takes the form's.
    EXPECT_EQ(spec.components[1].font.face, forms::WideString(WIDE("Face")));
    EXPECT_TRUE(spec.components[1].font.bold);
    EXPECT_EQ(spec.components[2].picture, 77);
    EXPECT_TRUE(spec.components[2].transparent);
}

TEST(FormDescription, RefusesMalformedInputWithTheLine)
{
    const char* bad[] = {
        "",                                                    // no form
        "label L 0 0 1 1\n",                                   // component before the form
        "form A TA\nform B TB\n",                              // two forms
        "form A TA\n  caption \"open\n",                       // unterminated string
        "form A TA\n  caption \"bad \\n escape\"\n",           // unknown escape
        "form A TA\nlabel L 0 0 1\n",                          // missing height
        "form A TA\nlabel L 0 0 99999 1\n",                    // out of range
        "form A TA\nlabel L 0 0 1 1\nlabel L 1 1 1 1\n",       // duplicate name
        "form A TA\nshape S 0 0 1 1\n  text \"x\"\n",          // property of another kind
        "form A TA\n  color mauve\n",                          // unknown colour
        "form A TA\n  caption \"\xC3\x28\"\n",                 // invalid UTF-8
        "form A TA\n  caption \"\xC0\xAF\"\n",                 // overlong UTF-8
        "form A TA\n  onclose bad-name\n",                     // not an identifier
        "form A TA\n  font \"F\" 0 regular black\n",           // zero height
    };
    for (const char* text : bad) {
        forms::FormSpec spec;
        std::string error;
        EXPECT_FALSE(Parse(text, spec, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    forms::FormSpec spec;
    std::string error;
    EXPECT_FALSE(Parse("form A TA\n\n  colour red\n", spec, error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    // An embedded NUL ends nothing early: it is refused.
    std::string withNul("form A TA\n  caption \"a\0b\"\n", 27);
    EXPECT_FALSE(Parse(withNul, spec, error));
    EXPECT_FALSE(forms::ParseDescription(nullptr, 0, spec, error));
}

TEST(FormDescription, RefusesOversizedInput)
{
    std::string text = "form A TA\n";
    while (text.size() < 70 * 1024) text += "# padding padding padding padding padding padding\n";
    forms::FormSpec spec;
    std::string error;
    EXPECT_FALSE(Parse(text, spec, error));
    std::string many = "form A TA\n";
    for (int i = 0; i < 300; ++i) many += "label L" + std::to_string(i) + " 0 0 1 1\n";
    EXPECT_FALSE(Parse(many, spec, error));
    EXPECT_NE(error.find("too many"), std::string::npos);
}

}  // namespace
