#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "mail/fetch_record.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/test_files.h"

TEST(FetchRecord, EachMailboxKeepsItsNewestLinesAndEachLineExcusesOneMessage)
{
    TempRoot root;
    // sha256sum of "a"
    const std::string a = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
    EXPECT_EQ(TFetchRecord::Digest("a"), a);
    const std::string b = TFetchRecord::Digest("b");
    const std::string c = TFetchRecord::Digest("c");
    std::string file = "pop.x.org:bob:" + c + "\r\n";
    for (size_t i = 1; i < TFetchRecord::kKeptPerMailbox; ++i)
        file += "POP.X.ORG:bob:" + a + "\r\n";
    file += "pop.x.org:ann:" + a + "\r\npop.x.org:bob:cut short\r\npop.x.org:bob:" + b.substr(9);
    WriteFileAtomic(DataRoot::Path(TFetchRecord::kFileName), file);

    TFetchRecord bob("pop.x.org", "bob");
    EXPECT_TRUE(bob.TakenBefore(c));
    EXPECT_FALSE(bob.TakenBefore(c));
    // A line saved now excuses nothing in the same fetch; bob's oldest goes.
    bob.Add(b);
    EXPECT_FALSE(bob.TakenBefore(b));

    TFetchRecord again("pop.x.org", "bob");
    size_t excused = 0;
    while (again.TakenBefore(a))
        ++excused;
    EXPECT_EQ(excused, TFetchRecord::kKeptPerMailbox - 1);
    EXPECT_TRUE(again.TakenBefore(b));
    EXPECT_FALSE(again.TakenBefore(c));

    again.Clear();
    EXPECT_FALSE(TFetchRecord("pop.x.org", "bob").TakenBefore(a));
    EXPECT_TRUE(TFetchRecord("pop.x.org", "ann").TakenBefore(a));
}
