// The About page shows the product's title with version 1.51, no letter and
// build 12 on a second line, and the notice text below it.

#include "app/shared/about_page.h"
#include "page_harness.h"

#include <QLabel>

namespace {

TEST(AboutPage, ShowsTheTitleVersionBuildAndNotice)
{
    PageHarness<CAboutPage> h(std::make_unique<CAboutPage>());
    EXPECT_EQ(Control<QLabel>(*h.page, 1081)->text(), "Velmora 1.51 \n(build 12)");
    EXPECT_EQ(Control<QLabel>(*h.page, 1082)->text(), "Copyright Tessaline.  All rights reserved.");
    EXPECT_EQ(ReadingFault(*h.page), "");
}

} // namespace
