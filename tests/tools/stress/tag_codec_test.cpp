// The tag in a stress message's body, read back from whatever the driver hands a program: the
// tag is found among other TLVs, and no length in the message leads the reader outside it.
#include <gtest/gtest.h>

#include <vector>

#include "tag_codec.h"

namespace {

using namespace stress;
using bytes = std::vector<std::uint8_t>;

const tag sample = make_tag(tag_kind::request, 0x123456, 0x89ABCDEF);

TEST(StressTag, AWrittenMessageCarriesItsTagAndItsAnswerStillDoes) {
    const bytes m = tagged_message(0, 7, 0x10, sample);
    ASSERT_EQ(m.size(), 18u);
    EXPECT_EQ(find_tag(m.data(), m.size()), sample);
    EXPECT_EQ(session_of(sample), 0x123456u);
    EXPECT_EQ(kind_of(sample), tag_kind::request);

    // The modem's answer: type 2, the result TLV first, then the request's TLVs echoed.
    bytes answer{2, 7, 0, 0x10, 0, 18, 0, 0x02, 4, 0, 0, 0, 0, 0};
    answer.insert(answer.end(), m.begin() + 7, m.end());
    EXPECT_EQ(find_tag(answer.data(), answer.size()), sample);
}

TEST(StressTag, LengthsThatRunPastTheMessageEndTheSearch) {
    const bytes m = tagged_message(4, 0, 0x40, sample);
    // Cut anywhere: never found, never read past the cut (the sanitizer builds watch).
    for (std::size_t n = 0; n < m.size(); ++n) {
        bytes cut(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(find_tag(cut.data(), cut.size())) << n;
    }
    // A declared TLV length shorter than the tag TLV hides it.
    bytes short_list = m;
    short_list[5] = 10;
    EXPECT_FALSE(find_tag(short_list.data(), short_list.size()));
    // A TLV whose value length runs past the end stops the walk before the tag.
    bytes bad{4, 0, 0, 0x40, 0, 25, 0, 0x01, 0xFF, 0xFF, 0};
    bad.insert(bad.end(), m.begin() + 7, m.end());
    EXPECT_FALSE(find_tag(bad.data(), bad.size()));
    // A tag TLV of another size is not a tag.
    bytes wrong = m;
    wrong[8] = 7;
    wrong[5] = 10;
    wrong.pop_back();
    EXPECT_FALSE(find_tag(wrong.data(), wrong.size()));
    EXPECT_FALSE(find_tag(nullptr, 0));
}

}  // namespace
