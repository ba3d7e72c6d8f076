#include "window/designfit.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace {

// The smallest font the window will shrink to for its texts to fit, and the
// steps by which it shrinks.
constexpr qreal SmallestPointSize = 6.0;
constexpr qreal Step = 0.5;

// A text of the window and the width its control gives it, which does not
// depend on the font.
struct Text {
    QString text;
    int room;
};

// Every label, button caption and box item (and the boxes' initial text)
// of the window, with its room; a text shown in several controls once, with
// the least room it has.
std::vector<Text> textsOf(const QWidget *window)
{
    std::vector<Text> texts;
    const auto add = [&texts](const QString &text, int room) {
        const auto same = std::find_if(texts.begin(), texts.end(), [&text](const Text &t) { return t.text == text; });
        if (same == texts.end())
            texts.push_back({text, room});
        else
            same->room = std::min(same->room, room);
    };
    for (const QLabel *label : window->findChildren<QLabel *>(Qt::FindDirectChildrenOnly))
        add(label->text(), label->contentsRect().width());
    for (const QPushButton *button : window->findChildren<QPushButton *>(Qt::FindDirectChildrenOnly)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        add(button->text(), button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width());
    }
    for (const QComboBox *box : window->findChildren<QComboBox *>(Qt::FindDirectChildrenOnly)) {
        QStyleOptionComboBox option;
        option.initFrom(box);
        option.editable = box->isEditable();
        option.frame = box->hasFrame();
        // A line edit keeps two pixels clear on each side of its text.
        const int room
            = box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box).width() - 4;
        add(box->placeholderText(), room);
        for (int item = 0; item < box->count(); ++item)
            add(box->itemText(item), room);
    }
    return texts;
}

bool allFit(const std::vector<Text> &texts, const QFont &font)
{
    const QFontMetrics metrics(font);
    return std::all_of(texts.begin(), texts.end(),
                       [&metrics](const Text &t) { return metrics.horizontalAdvance(t.text) <= t.room; });
}

// The pixel size the toolkit gives a font of `points`: it rounds a point
// size to whole pixels at the screen's resolution.
int pixelsAt(qreal points)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal dpi = screen ? qRound(screen->logicalDotsPerInchY()) : 96;
    return qRound(std::floor(points * dpi / 72 * 100 + 0.5) / 100);
}

// The window's texts measured once, at the font the window was built with,
// and what then tells whether they fit at another size without the toolkit
// preparing a font of that size, which costs more than all else the fitting
// does. A point size of the same pixel size fits alike. At another pixel
// size a text is about its width here, scaled: where even a pixel per glyph
// each way (what hinting may round) cannot change whether it fits, that
// decides. Otherwise the text is its glyphs' advances, read from the same
// face at that size (as the toolkit lays it out), plus its kerning as
// measured here, which grows with the size like the advances but is
// rounded to 1/64 pixel per pair. Where not even that decides, the texts
// are measured at that size. A text so short that it fits even if each of
// its characters were as wide as the font's widest is not measured at all:
// that bound stands for its width.
class MeasuredTexts {
public:
    MeasuredTexts(const std::vector<Text> &texts, const QFont &font)
        : m_texts(texts)
        , m_points(font.pointSizeF())
        , m_face(QRawFont::fromFont(font))
    {
        const QFontMetricsF metrics(font);
        for (const Text &t : m_texts)
            m_glyphs.push_back(m_face.glyphIndexesForString(t.text));
        // Predictions hold only where this program rounds sizes to pixels as
        // the toolkit did for this font, and where every glyph is in this
        // face, not taken from another font.
        m_predicts = m_face.isValid() && m_points > 0 && m_face.pixelSize() == pixelsAt(m_points)
                  && std::none_of(m_glyphs.begin(), m_glyphs.end(),
                                  [](const QList<quint32> &glyphs) { return glyphs.contains(0); });
        m_widest = metrics.maxWidth();
        for (size_t i = 0; i < m_texts.size(); ++i) {
            const Text &t = m_texts[i];
            const QList<quint32> &glyphs = m_glyphs[i];
            const qreal bound = widthBound(t.text, 1);
            m_bounded.push_back(m_predicts && fits(bound, t.room));
            const qreal width = m_bounded.back() ? bound : metrics.horizontalAdvance(t.text);
            m_widths.push_back(width);
            m_kerning.push_back(m_bounded.back() ? 0 : width - advance(m_face, glyphs));
        }
        // The tightest texts first, which most often decide that a size is
        // too large.
        for (size_t i = 0; i < m_texts.size(); ++i)
            m_order.push_back(i);
        std::sort(m_order.begin(), m_order.end(),
                  [this](size_t a, size_t b) { return m_texts[a].room * m_widths[b] < m_texts[b].room * m_widths[a]; });
    }

    // The largest size on the grid of half points below `highest` at which
    // every text would fit if widths grew in proportion to the pixel size.
    qreal likelyFit(qreal highest) const
    {
        qreal ratio = std::numeric_limits<qreal>::max();
        for (size_t i = 0; i < m_texts.size(); ++i) {
            if (m_widths[i] > 0)
                ratio = std::min(ratio, m_texts[i].room / m_widths[i]);
        }
        const qreal estimate = std::min(highest, m_points * ratio);
        qreal size = highest - Step * std::ceil((highest - estimate) / Step - 1e-9);
        while (m_predicts && size - Step >= SmallestPointSize && pixelsAt(size) > m_face.pixelSize() * ratio)
            size -= Step;
        return size;
    }

    bool allFitAt(QFont font, qreal points) const
    {
        const int pixels = pixelsAt(points);
        if (m_predicts && pixels == m_face.pixelSize())
            return fitAsMeasured();
        if (m_predicts) {
            const std::optional<bool> predicted = predictFit(pixels);
            if (predicted)
                return *predicted;
        }
        font.setPointSizeF(points);
        return allFit(m_texts, font);
    }

private:
    static qreal advance(const QRawFont &face, const QList<quint32> &glyphs)
    {
        qreal sum = 0;
        for (const QPointF &step : face.advancesForGlyphIndexes(glyphs))
            sum += step.x();
        return sum;
    }

    // At most the width of `text` at `scale` times the measured pixel size:
    // each character as wide as the widest, which the font gives rounded to
    // a pixel, and a pixel more for hinting.
    qreal widthBound(const QString &text, qreal scale) const { return text.size() * (m_widest * scale + 2); }

    // As QFontMetrics rounds a width to whole pixels.
    static bool fits(qreal width, int room) { return qRound(width) <= room; }

    bool fitAsMeasured() const
    {
        return std::all_of(m_order.begin(), m_order.end(),
                           [this](size_t i) { return fits(m_widths[i], m_texts[i].room); });
    }

    std::optional<bool> predictFit(int pixels) const
    {
        const qreal scale = pixels / m_face.pixelSize();
        std::optional<QRawFont> face; // at `pixels`, read only when needed
        bool sure = true;
        for (const size_t i : m_order) {
            const int room = m_texts[i].room;
            if (m_bounded[i]) {
                sure = sure && fits(widthBound(m_texts[i].text, scale), room);
                continue;
            }
            qreal width = m_widths[i] * scale;
            qreal doubt = m_glyphs[i].size() * (1 + scale);
            if (!fits(width - doubt, room))
                return false;
            if (fits(width + doubt, room))
                continue;
            if (!face) {
                face = m_face;
                face->setPixelSize(pixels);
            }
            width = advance(*face, m_glyphs[i]) + m_kerning[i] * scale;
            doubt = std::abs(m_kerning[i]) / 4 + 1.0 / 16;
            if (!fits(width - doubt, room))
                return false;
            sure = sure && fits(width + doubt, room);
        }
        return sure ? std::optional<bool>(true) : std::nullopt;
    }

    std::vector<Text> m_texts;
    qreal m_points;
    QRawFont m_face;
    bool m_predicts = false;
    qreal m_widest = 0;
    std::vector<bool> m_bounded; // measured only by the bound
    std::vector<qreal> m_widths;
    std::vector<QList<quint32>> m_glyphs;
    std::vector<qreal> m_kerning;
    std::vector<size_t> m_order;
};

// `top` at the largest size, not above its own and on its grid of half
// points, at which every text fits; `top` itself when even the smallest
// size would not help. Text widths grow about in proportion to the pixel
// size, so one measurement in `built`, the font the controls were made in,
// tells the size, which is then checked, a step up or down where hinting
// and rounding make the proportion inexact.
QFont fittingFont(const std::vector<Text> &texts, const QFont &top, const QFont &built)
{
    QFont font = top;
    if (top.pointSizeF() <= 0) { // a font given in pixels
        for (int size = top.pixelSize(); size >= 8; --size) {
            font.setPixelSize(size);
            if (allFit(texts, font))
                return font;
        }
        return top;
    }
    const MeasuredTexts measured(texts, built.pointSizeF() > 0 ? built : top);
    const qreal highest = top.pointSizeF();
    qreal size = measured.likelyFit(highest);
    while (size + Step <= highest && measured.allFitAt(font, size + Step))
        size += Step;
    while (size >= SmallestPointSize && !measured.allFitAt(font, size))
        size -= Step;
    if (size < SmallestPointSize)
        return top;
    font.setPointSizeF(size);
    return font;
}

// Makes the whole fixed design `factor` times as large, every control's
// position and size and the window's own, as a screen of that much higher
// density would.
void scaleDesign(QWidget *window, qreal factor)
{
    const auto scaled = [factor](int length) { return qRound(length * factor); };
    for (QWidget *control : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QRect at = control->geometry();
        control->setGeometry(scaled(at.x()), scaled(at.y()), scaled(at.width()), scaled(at.height()));
    }
    window->setFixedSize(scaled(window->width()), scaled(window->height()));
}

// The size to which the design shrinks its texts before it grows instead:
// three quarters of the desktop's size.
qreal readableSize(const QFont &desktop) { return 0.75 * desktop.pointSizeF(); }

// Gives the window, whose controls were made in its present font, the
// desktop's font at the size that fits, or grows the design.
void fitDesignToFont(QWidget *window, const QFont &desktop)
{
    const QFont built = window->font();
    // The design never grows beyond the screen's room for windows: where
    // the font would need more, the design takes all of it, and the font is
    // fitted to that, smaller than it would be.
    qreal room = std::numeric_limits<qreal>::max();
    if (const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
        const QSize available = screen->availableGeometry().size();
        room = std::min(qreal(available.width()) / window->width(), qreal(available.height()) / window->height());
    }
    QFont fitted = fittingFont(textsOf(window), desktop, built);
    const qreal readable = readableSize(desktop);
    if (fitted.pointSizeF() > 0 && fitted.pointSizeF() < readable) {
        const qreal factor = std::min(readable / fitted.pointSizeF(), room);
        if (factor > 1)
            scaleDesign(window, factor);
        QFont wanted = desktop;
        wanted.setPointSizeF(readable);
        fitted = fittingFont(textsOf(window), wanted, built);
    }
    window->setFont(fitted);
}

} // namespace

void setUpInFittingFont(QWidget *window, const std::function<void()> &setUpControls)
{
    const QFont desktop = window->font();
    if (desktop.pointSizeF() <= 0) { // a font given in pixels
        setUpControls();
        fitDesignToFont(window, desktop);
        return;
    }
    QFont likely = desktop;
    const qreal top = desktop.pointSizeF();
    likely.setPointSizeF(top - Step * std::floor((top - readableSize(desktop)) / Step + 1e-9));
    window->setFont(likely);
    // A line edit lays out its text in the application's font before it
    // takes its window's; meanwhile the application's font has the likely
    // size too, so that the toolkit prepares no font of another size. Set
    // back, the application's font no longer follows a change of the
    // desktop's while the program runs, as the window's never did.
    const QFont application = QApplication::font();
    QApplication::setFont(likely);
    setUpControls();
    QApplication::setFont(application);
    fitDesignToFont(window, desktop);
}
