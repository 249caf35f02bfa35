// Form descriptions: what the parser accepts, and what it refuses with a line number.
#include <gtest/gtest.h>

#include <string>

#include "ui/forms/description.h"

namespace {

bool Parse(const std::string& text, forms::FormDescription& shape, std::string& error)
{
    return forms::ParseDescription(text.data(), text.size(), shape, error);
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
    forms::FormDescription shape;
    std::string error;
    ASSERT_TRUE(Parse(text, shape, error)) << error;
    EXPECT_EQ(shape.name, "Main");
    EXPECT_EQ(shape.className, "TMain");
    EXPECT_EQ(shape.border, forms::Border::None);
    EXPECT_EQ(shape.clientWidth, 300);
    EXPECT_EQ(shape.caption, forms::WideString(WIDE("Say \"hi\" \\ \u00A9")));
    ASSERT_EQ(shape.components.size(), 3u);
    EXPECT_EQ(shape.components[0].brush.rgb, RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(shape.components[0].penWidth, 2);
    EXPECT_EQ(shape.components[1].onClick, "Clicked");
    // A label without a font of its own takes the form's.
    EXPECT_EQ(shape.components[1].font.face, forms::WideString(WIDE("Face")));
    EXPECT_TRUE(shape.components[1].font.bold);
    EXPECT_EQ(shape.components[2].picture, 77);
    EXPECT_TRUE(shape.components[2].transparent);
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
        forms::FormDescription shape;
        std::string error;
        EXPECT_FALSE(Parse(text, shape, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    forms::FormDescription shape;
    std::string error;
    EXPECT_FALSE(Parse("form A TA\n\n  colour red\n", shape, error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    // An embedded NUL ends nothing early: it is refused.
    std::string withNul("form A TA\n  caption \"a\0b\"\n", 27);
    EXPECT_FALSE(Parse(withNul, shape, error));
    EXPECT_FALSE(forms::ParseDescription(nullptr, 0, shape, error));
}

TEST(FormDescription, RefusesOversizedInput)
{
    std::string text = "form A TA\n";
    while (text.size() < 70 * 1024) text += "# padding padding padding padding padding padding\n";
    forms::FormDescription shape;
    std::string error;
    EXPECT_FALSE(Parse(text, shape, error));
    std::string many = "form A TA\n";
    for (int i = 0; i < 300; ++i) many += "label L" + std::to_string(i) + " 0 0 1 1\n";
    EXPECT_FALSE(Parse(many, shape, error));
    EXPECT_NE(error.find("too many"), std::string::npos);
}

}  // namespace
