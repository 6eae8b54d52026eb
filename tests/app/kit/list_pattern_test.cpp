// Tab-stop lists: what the list actually draws, caught by a recording paint
// engine, shows every field whole, each column starting at its designed stop
// or, when a field of the column before reaches it, just past that field,
// the same on every line; the list scrolls to the end of its widest line.

#include "app/http/http_servers_page.h"
#include "app/kit/list_pattern.h"
#include "app/page_harness.h"
#include "config/config_lists.h"
#include "config/http_server_config.h"

#include <QPaintEngine>
#include <QPaintDevice>
#include <QScrollBar>
#include <QTextItem>

#include <map>

namespace {

struct DrawnText {
    QPointF at;
    QString text;
};

// Keeps every text drawn, where it is drawn; draws nothing else.
class RecordingEngine : public QPaintEngine {
public:
    RecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState& state) override
    {
        if (state.state() & QPaintEngine::DirtyTransform)
            m_transform = state.transform();
    }
    void drawTextItem(const QPointF& at, const QTextItem& item) override
    {
        drawn.push_back({m_transform.map(at), item.text()});
    }
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawImage(const QRectF&, const QImage&, const QRectF&, Qt::ImageConversionFlags) override {}
    void drawPath(const QPainterPath&) override {}
    void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
    void drawPolygon(const QPoint*, int, PolygonDrawMode) override {}
    void drawRects(const QRectF*, int) override {}
    void drawRects(const QRect*, int) override {}
    void drawLines(const QLineF*, int) override {}
    void drawLines(const QLine*, int) override {}
    void drawPoints(const QPointF*, int) override {}
    void drawPoints(const QPoint*, int) override {}
    void drawEllipse(const QRectF&) override {}
    void drawEllipse(const QRect&) override {}
    void drawTiledPixmap(const QRectF&, const QPixmap&, const QPointF&) override {}
    Type type() const override { return QPaintEngine::User; }

    std::vector<DrawnText> drawn;

private:
    QTransform m_transform;
};

class RecordingDevice : public QPaintDevice {
public:
    explicit RecordingDevice(QSize size) : m_size(size) {}
    QPaintEngine* paintEngine() const override { return &m_engine; }
    std::vector<DrawnText>& Drawn() { return m_engine.drawn; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return m_size.width();
        case PdmHeight: return m_size.height();
        case PdmWidthMM: return m_size.width() * 254 / 960;
        case PdmHeightMM: return m_size.height() * 254 / 960;
        case PdmNumColors: return 0x7fffffff;
        case PdmDepth: return 32;
        case PdmDpiX:
        case PdmDpiY: return QWidget().logicalDpiX();
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY: return QWidget().physicalDpiX();
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
        default: return QPaintDevice::metric(metric);
        }
    }

private:
    QSize m_size;
    mutable RecordingEngine m_engine;
};

// The texts the list draws, by line (top to bottom), each line's texts
// from left to right.
std::vector<std::vector<DrawnText>> DrawnLines(QListWidget* list)
{
    QApplication::processEvents();
    RecordingDevice device(list->size());
    list->render(&device);
    std::map<int, std::vector<DrawnText>> byLine;
    for (const DrawnText& text : device.Drawn()) {
        QPoint inViewport = list->viewport()->mapFrom(list, text.at.toPoint());
        if (QListWidgetItem* item = list->itemAt(inViewport))
            byLine[list->row(item)].push_back(text);
    }
    std::vector<std::vector<DrawnText>> lines;
    for (auto& [row, texts] : byLine) {
        std::sort(texts.begin(), texts.end(),
                  [](const DrawnText& a, const DrawnText& b) { return a.at.x() < b.at.x(); });
        lines.push_back(texts);
    }
    return lines;
}

TEST(TabStopList, EveryFieldShowsWholeAndColumnsMoveOnlyToMakeRoom)
{
    struct Case {
        const char* list;
        std::vector<int> stops; // dialog units, as the page designs them
        std::vector<QString> lines;
    };
    const Case cases[] = {
        {"HTTP servers", {kServersListPortWidth, kServersListAddressWidth},
         {"8080\t127.0.0.1\tIntranet", "65535\t192.168.100.200\tStaff pages of the second floor"}},
        {"Strings", {40}, {"http-badurl\tThe URL you asked for is not here.", "http-noauth\tWho are you?"}},
        {"Redirections", {20}, {"/old-location/index.html\thttp://new.example.com/", "/a\t/b"}},
        {"MIME types", {20}, {"html\ttext/html", "docx\tapplication/vnd.openxmlformats-officedocument"}},
        {"short fields", {40}, {"a\tb", "c\td"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        QListWidget list;
        list.resize(260, 120);
        CListPattern pattern;
        pattern.entries = [&] {
            std::vector<CListPattern::Entry> entries;
            for (const QString& line : c.lines)
                entries.push_back({line, line});
            return entries;
        };
        pattern.SetTabStops(c.stops);
        pattern.Attach(&list, nullptr, nullptr, nullptr, false);
        list.show();
        QApplication::processEvents();

        const QFontMetrics metrics(list.font());
        const int unit = metrics.averageCharWidth();
        const std::vector<int> starts = TabColumnStarts(&list);
        ASSERT_EQ(starts.size(), c.stops.size() + 1);
        std::vector<std::vector<DrawnText>> drawn = DrawnLines(&list);
        ASSERT_EQ(drawn.size(), c.lines.size());
        double widest = 0;
        for (std::size_t row = 0; row < c.lines.size(); ++row) {
            const QStringList fields = c.lines[row].split(QLatin1Char('\t'));
            ASSERT_EQ(drawn[row].size(), static_cast<std::size_t>(fields.size())) << "one text per field";
            const double left = drawn[row][0].at.x();
            for (qsizetype i = 0; i < fields.size(); ++i) {
                const DrawnText& text = drawn[row][static_cast<std::size_t>(i)];
                EXPECT_EQ(text.text.toStdString(), fields[i].toStdString()) << "drawn whole, not elided";
                const double start = text.at.x() - left;
                EXPECT_NEAR(start, starts[static_cast<std::size_t>(i)], 1.0) << "column " << i;
                if (i > 0) {
                    const auto before = static_cast<std::size_t>(i - 1);
                    EXPECT_GE(start + 1, c.stops[before] * unit / 4) << "never before its stop";
                    const double previousEnd =
                        drawn[row][before].at.x() - left + metrics.horizontalAdvance(fields[i - 1]);
                    EXPECT_GT(start, previousEnd) << "clear of the field before";
                }
            }
            widest = std::max(widest, drawn[row].back().at.x() + metrics.horizontalAdvance(fields.back()));
        }
        // Columns move only when a field needs the room: the short fields stay at their stops.
        if (std::string(c.list) == "short fields") {
            EXPECT_EQ(starts[1], 40 * unit / 4);
        }
        // The widest line can be scrolled into view.
        const int reach = list.viewport()->x() + list.viewport()->width() + list.horizontalScrollBar()->maximum();
        EXPECT_GE(reach, widest);
    }
}

// A value holding a line break shows on one line: its row is as tall as a
// plain one and all it draws sits on one baseline; the item keeps it whole.
TEST(ListLines, AValueWithALineBreakShowsOnOneLine)
{
    struct Case {
        const char* list;
        std::vector<int> stops;
        QString broken;
        QString plain;
    };
    const Case cases[] = {
        {"Strings", {40}, "greeting\tfirst line\r\nsecond line", "plain\tvalue"},
        {"no tab stops", {}, "first line\nsecond line", "plain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        QListWidget list;
        list.resize(320, 120);
        CListPattern pattern;
        pattern.entries = [&] { return std::vector<CListPattern::Entry>{{c.broken, "a"}, {c.plain, "b"}}; };
        pattern.SetTabStops(c.stops);
        pattern.Attach(&list, nullptr, nullptr, nullptr, false);
        list.show();
        QApplication::processEvents();
        EXPECT_EQ(list.item(0)->text(), c.broken);
        EXPECT_EQ(list.visualItemRect(list.item(0)).height(), list.visualItemRect(list.item(1)).height());
        std::vector<std::vector<DrawnText>> drawn = DrawnLines(&list);
        ASSERT_EQ(drawn.size(), 2u);
        for (const DrawnText& text : drawn[0])
            EXPECT_EQ(text.at.y(), drawn[0][0].at.y()) << text.text.toStdString();
        EXPECT_EQ(drawn[0].back().text.toStdString(), "first line second line");
    }
}

void SetServer(CHTTPServerConfig& config, std::uint32_t port, std::uint32_t address, const std::string& description)
{
    auto service = std::make_shared<CServiceSettings>(*config.GetSettings());
    service->port = port;
    service->address = address;
    config.SetSettings(service);
    auto http = std::make_shared<CHTTPSettings>(*config.GetHTTPSettings());
    http->description = description;
    config.SetHTTPSettings(http);
}

TEST(TabStopList, TheServersPageShowsEachServersPortAddressAndDescription)
{
    CHTTPServerConfigList servers;
    SetServer(servers.AddTail(), 8080, 0x0100007F, "Intranet");
    SetServer(servers.AddTail(), 65535, 0xC864A8C0, "Staff pages");
    PageHarness<CHTTPServersPage> h(std::make_unique<CHTTPServersPage>(servers));
    auto* list = Control<QListWidget>(*h.page, 1049);
    std::vector<std::vector<DrawnText>> drawn = DrawnLines(list);
    ASSERT_EQ(drawn.size(), 2u);
    std::vector<std::vector<std::string>> texts;
    for (const auto& line : drawn) {
        texts.emplace_back();
        for (const DrawnText& text : line)
            texts.back().push_back(text.text.toStdString());
    }
    EXPECT_EQ(texts, (std::vector<std::vector<std::string>>{{"65535", "192.168.100.200", "Staff pages"},
                                                            {"8080", "127.0.0.1", "Intranet"}}));
    SaveScreenshot(h.sheet, "http_servers_page_two_servers");
}

} // namespace
