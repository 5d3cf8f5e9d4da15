#include "AppEnvironment.h"
#include "DropHelpers.h"

#include <Path.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>
#include <string>
#include <vector>

namespace {

class DropTarget : public BView
{
public:
    DropTarget(BRect frame, const char* name) : BView(frame, name, B_FOLLOW_NONE, B_WILL_DRAW) {}
    void MessageReceived(BMessage* message) override
    {
        received.push_back(std::make_unique<BMessage>(*message));
    }
    std::vector<std::unique_ptr<BMessage>> received;
};

class DropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window = new BWindow(BRect(200, 150, 499, 349), "drops", B_TITLED_WINDOW, 0);
        outer = new DropTarget(BRect(10, 20, 209, 169), "outer");
        inner = new DropTarget(BRect(50, 50, 99, 99), "inner");
        outer->AddChild(inner);
        window->AddChild(outer);
        window->Show();
        process_pending_events(2);
    }
    void TearDown() override { delete window; }

    static QWidget* WidgetOf(BView* view) { return KitAccess::Of(view)->widget; }

    std::vector<std::string> RefsOf(const BMessage& message)
    {
        std::vector<std::string> paths;
        entry_ref ref;
        for (int32 i = 0; message.FindRef("refs", i, &ref) == B_OK; i++)
            paths.push_back(BPath(&ref).Path());
        return paths;
    }

    BWindow* window = nullptr;
    DropTarget* outer = nullptr;
    DropTarget* inner = nullptr;
};

TEST_F(DropTest, LocalFilesArriveAsRefsInOrderWithTheScreenPoint)
{
    QMimeData data;
    QList<QUrl> urls{QUrl::fromLocalFile("/tmp/one.png"), QUrl("http://example.com/two.png"),
                     QUrl::fromLocalFile("/tmp/with space/three.jpg")};
    data.setUrls(urls);
    DropOutcome outcome = send_drop(WidgetOf(outer), QPoint(25, 35), data);
    EXPECT_TRUE(outcome.enterAccepted);
    EXPECT_TRUE(outcome.dropAccepted);
    EXPECT_EQ(outcome.action, Qt::CopyAction);
    EXPECT_TRUE(outer->received.empty()) << "a drop goes through the window's queue";

    process_pending_events();
    ASSERT_EQ(outer->received.size(), 1u);
    const BMessage& message = *outer->received[0];
    EXPECT_EQ(message.what, B_SIMPLE_DATA);
    EXPECT_EQ(RefsOf(message),
              (std::vector<std::string>{"/tmp/one.png", "/tmp/with space/three.jpg"}));
    BPoint point;
    ASSERT_EQ(message.FindPoint("_drop_point_", &point), B_OK);
    EXPECT_EQ(point, BPoint(200 + 10 + 25, 150 + 20 + 35));
    EXPECT_EQ(outer->ConvertFromScreen(point), BPoint(25, 35));
}

struct NonFileCase
{
    const char* label;
    void (*fill)(QMimeData*);
};

void PrintTo(const NonFileCase& c, std::ostream* os)
{
    *os << c.label;
}

class NonFileDrop : public DropTest, public ::testing::WithParamInterface<NonFileCase>
{
};

TEST_P(NonFileDrop, ArrivesWithoutRefs)
{
    QMimeData data;
    GetParam().fill(&data);
    DropOutcome outcome = send_drop(WidgetOf(outer), QPoint(5, 5), data);
    EXPECT_TRUE(outcome.dropAccepted);
    process_pending_events();
    ASSERT_EQ(outer->received.size(), 1u);
    EXPECT_FALSE(outer->received[0]->HasRef("refs"));
    EXPECT_TRUE(outer->received[0]->HasPoint("_drop_point_"));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NonFileDrop,
    ::testing::Values(NonFileCase{"text", [](QMimeData* d) { d->setText("just words"); }},
                      NonFileCase{
                          "remoteUrl",
                          [](QMimeData* d) { d->setUrls({QUrl("https://example.com/a.png")}); }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DropTest, SomethingThatIsNeitherFilesNorTextIsRefused)
{
    QMimeData data;
    data.setData("application/x-private", "bytes");
    DropOutcome outcome = send_drop(WidgetOf(outer), QPoint(5, 5), data);
    EXPECT_FALSE(outcome.enterAccepted);
    EXPECT_FALSE(outcome.dropAccepted);
    process_pending_events();
    EXPECT_TRUE(outer->received.empty());
}

TEST_F(DropTest, ANestedViewGetsTheDropsThatLandOnIt)
{
    EXPECT_TRUE(WidgetOf(inner)->acceptDrops());
    QMimeData data;
    set_file_urls(&data, {"/tmp/inner.png"});
    send_drop(WidgetOf(inner), QPoint(0, 0), data);
    process_pending_events();
    EXPECT_TRUE(outer->received.empty());
    ASSERT_EQ(inner->received.size(), 1u);
    EXPECT_EQ(RefsOf(*inner->received[0]), (std::vector<std::string>{"/tmp/inner.png"}));
    EXPECT_EQ(inner->received[0]->DropPoint(), BPoint(200 + 10 + 50, 150 + 20 + 50));
}

// What a view does not handle goes up: the view's parent, then the window.
TEST_F(DropTest, UnhandledMessagesPassToTheParentThenTheWindow)
{
    struct Plain : BView
    {
        Plain() : BView(BRect(0, 0, 9, 9), "plain", B_FOLLOW_NONE, 0) {}
    };
    struct Recorder : BWindow
    {
        Recorder() : BWindow(BRect(0, 0, 99, 99), "rec", B_TITLED_WINDOW, 0) {}
        void MessageReceived(BMessage* message) override { got.push_back(message->what); }
        std::vector<uint32> got;
    };
    auto* plain = new Plain();
    inner->AddChild(plain);
    EXPECT_EQ(plain->NextHandler(), inner);
    EXPECT_EQ(inner->NextHandler(), outer);
    QMimeData data;
    data.setUrls({QUrl("file://localhost/tmp/up.png")});
    send_drop(WidgetOf(plain), QPoint(1, 1), data);
    process_pending_events();
    ASSERT_EQ(inner->received.size(), 1u) << "the parent did not get it";
    EXPECT_EQ(RefsOf(*inner->received[0]), (std::vector<std::string>{"/tmp/up.png"}));
    inner->RemoveChild(plain);
    EXPECT_EQ(plain->NextHandler(), nullptr);
    delete plain;

    auto* recorder = new Recorder();
    auto* top = new Plain();
    recorder->AddChild(top);
    BMessage none('none');
    recorder->PostMessage(&none, top);
    process_pending_events();
    EXPECT_EQ(recorder->got, std::vector<uint32>{'none'});
    delete recorder;
}

struct UrlCase
{
    const char* url;
    const char* file; // empty: not a local file
};

class LocalFileUrl : public ::testing::TestWithParam<UrlCase>
{
};

TEST_P(LocalFileUrl, NamesTheFileOrNothing)
{
    EXPECT_EQ(local_file_of(QUrl(GetParam().url)).toStdString(), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LocalFileUrl,
    ::testing::Values(UrlCase{"file:///tmp/a.png", "/tmp/a.png"},
                      UrlCase{"file://localhost/tmp/a.png", "/tmp/a.png"},
                      UrlCase{"file://LocalHost/tmp/a.png", "/tmp/a.png"},
                      UrlCase{"file:/tmp/a.png", "/tmp/a.png"},
                      UrlCase{"FILE:///tmp/a.png", "/tmp/a.png"},
                      UrlCase{"file:///tmp/space%20and%C3%A9.png", "/tmp/space and\xC3\xA9.png"},
                      UrlCase{"file://elsewhere.example/tmp/a.png", ""},
                      UrlCase{"http://localhost/tmp/a.png", ""}, UrlCase{"file:a.png", ""},
                      UrlCase{"", ""}));

TEST(LocalFileUrlHost, ThisMachinesNameIsLocal)
{
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    QUrl url;
    url.setScheme("file");
    url.setHost(QString::fromLocal8Bit(name));
    url.setPath("/tmp/here.png");
    if (url.host().isEmpty())
        GTEST_SKIP() << "the host name is not a valid URL host";
    EXPECT_EQ(local_file_of(url).toStdString(), "/tmp/here.png");
}

// Outside the window's views nothing takes the drop, so the drag source
// is told so instead of hearing of a success.
TEST_F(DropTest, ADropOutsideEveryViewIsRefused)
{
    QWidget* top = WidgetOf(outer)->parentWidget();
    ASSERT_NE(top, nullptr);
    QMimeData data;
    set_file_urls(&data, {"/tmp/nowhere.png"});
    DropOutcome outcome = send_drop(top, QPoint(250, 190), data);
    EXPECT_FALSE(outcome.dropAccepted);
}

TEST_F(DropTest, FileUrlsOfferedOnlyAsTextArriveAsRefs)
{
    QMimeData data;
    data.setText("file://localhost/tmp/t1.png\r\nfile:///tmp/t2.png\n");
    send_drop(WidgetOf(outer), QPoint(5, 5), data);
    process_pending_events();
    ASSERT_EQ(outer->received.size(), 1u);
    EXPECT_EQ(RefsOf(*outer->received[0]),
              (std::vector<std::string>{"/tmp/t1.png", "/tmp/t2.png"}));
}

} // namespace
