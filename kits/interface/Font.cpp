#include <Font.h>
#include <FontPrivate.h>

#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

// The default families, resolved when first used: the desktop's sans and
// its fixed-width font.
constexpr char kFixedDefault[] = "\x01" "fixed";

// Qt keeps references to these for the application's whole life.
int sArgc = 3;
char sName[] = "pellara";
char sPlatformOption[] = "-platform";
char sPlatform[] = "offscreen";
char* sArgv[] = {sName, sPlatformOption, sPlatform, nullptr};

QtMessageHandler sPreviousHandler = nullptr;

// While the display-less engine starts, its notes (no XDG_RUNTIME_DIR for
// root, and the like) concern no one: a tool's standard error stays its own.
void drop_startup_message(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtFatalMsg && sPreviousHandler != nullptr)
        sPreviousHandler(type, context, text);
}

void copy_name(char* to, const char* from)
{
    std::strncpy(to, from != nullptr ? from : "", B_FONT_FAMILY_LENGTH);
    to[B_FONT_FAMILY_LENGTH] = '\0';
}

QString family_name(const char* family)
{
    if (family[0] == '\0')
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    if (std::strcmp(family, kFixedDefault) == 0)
        return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    return QString::fromUtf8(family);
}

// The installed family of that name, case as installed; empty when none.
QString installed_family(const char* family)
{
    const QString wanted = family_name(family);
    for (const QString& name : QFontDatabase::families()) {
        if (name.compare(wanted, Qt::CaseInsensitive) == 0)
            return name;
    }
    return QString();
}

BFont make_default(uint16 face, bool fixed)
{
    BFont font;
    if (fixed) {
        font_family family;
        copy_name(family, kFixedDefault);
        font.SetFamilyAndFace(family, face);
    }
    font.SetFace(face);
    return font;
}

const BFont sPlainFont = make_default(B_REGULAR_FACE, false);
const BFont sBoldFont = make_default(B_BOLD_FACE, false);
const BFont sFixedFont = make_default(B_REGULAR_FACE, true);

} // namespace

const BFont* be_plain_font = &sPlainFont;
const BFont* be_bold_font = &sBoldFont;
const BFont* be_fixed_font = &sFixedFont;

bool font_engine_ready()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (QCoreApplication::instance() != nullptr)
            return;
        sPreviousHandler = qInstallMessageHandler(drop_startup_message);
        new QGuiApplication(sArgc, sArgv); // for the process's whole life
        // The font database starts on first use, with notes of its own.
        (void)QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        (void)QFontDatabase::families();
        qInstallMessageHandler(sPreviousHandler);
    });
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QFont FontAccess::QtFont(const BFont& font)
{
    QFont qt(family_name(font.fFamily));
    if (font.fStyle[0] != '\0')
        qt.setStyleName(QString::fromUtf8(font.fStyle));
    qt.setBold((font.fFace & B_BOLD_FACE) != 0);
    qt.setItalic((font.fFace & B_ITALIC_FACE) != 0);
    qt.setUnderline((font.fFace & B_UNDERSCORE_FACE) != 0);
    qt.setStrikeOut((font.fFace & B_STRIKEOUT_FACE) != 0);
    qt.setPixelSize(std::max(1, int(std::lround(font.fSize))));
    if ((font.fFlags & B_DISABLE_ANTIALIASING) != 0)
        qt.setStyleStrategy(QFont::NoAntialias);
    else if ((font.fFlags & B_FORCE_ANTIALIASING) != 0)
        qt.setStyleStrategy(QFont::PreferAntialias);
    return qt;
}

BFont::BFont() : fSize(12.0f), fFace(B_REGULAR_FACE), fFlags(0)
{
    fFamily[0] = '\0';
    fStyle[0] = '\0';
}

BFont::BFont(const BFont& font)
{
    *this = font;
}

BFont::BFont(const BFont* font) : BFont()
{
    if (font != nullptr)
        *this = *font;
}

BFont& BFont::operator=(const BFont& font)
{
    std::memcpy(fFamily, font.fFamily, sizeof(fFamily));
    std::memcpy(fStyle, font.fStyle, sizeof(fStyle));
    fSize = font.fSize;
    fFace = font.fFace;
    fFlags = font.fFlags;
    return *this;
}

status_t BFont::SetFamilyAndStyle(const font_family family, const font_style style)
{
    if (family == nullptr || !font_engine_ready())
        return B_BAD_VALUE;
    const QString installed = installed_family(family);
    if (installed.isEmpty())
        return B_NAME_NOT_FOUND;
    uint16 face = fFace;
    if (style != nullptr && style[0] != '\0') {
        const QString wanted = QString::fromUtf8(style);
        QString found;
        for (const QString& name : QFontDatabase::styles(installed)) {
            if (name.compare(wanted, Qt::CaseInsensitive) == 0)
                found = name;
        }
        if (found.isEmpty())
            return B_NAME_NOT_FOUND;
        copy_name(fStyle, found.toUtf8().constData());
        face = QFontDatabase::bold(installed, found) ? B_BOLD_FACE : 0;
        if (QFontDatabase::italic(installed, found))
            face |= B_ITALIC_FACE;
        if (face == 0)
            face = B_REGULAR_FACE;
    } else {
        fStyle[0] = '\0';
    }
    copy_name(fFamily, family);
    fFace = face;
    return B_OK;
}

status_t BFont::SetFamilyAndFace(const font_family family, uint16 face)
{
    if (family == nullptr)
        return B_BAD_VALUE;
    // The defaults need no look-up (nor the engine) to be named.
    if (family[0] != '\0' && std::strcmp(family, kFixedDefault) != 0) {
        if (!font_engine_ready())
            return B_BAD_VALUE;
        if (installed_family(family).isEmpty())
            return B_NAME_NOT_FOUND;
    }
    copy_name(fFamily, family);
    fStyle[0] = '\0';
    fFace = face;
    return B_OK;
}

void BFont::GetFamilyAndStyle(font_family* family, font_style* style) const
{
    QFontInfo info(font_engine_ready() ? FontAccess::QtFont(*this) : QFont());
    if (family != nullptr) {
        const QString name = font_engine_ready() ? info.family() : QString::fromUtf8(fFamily);
        copy_name(*family, name.toUtf8().constData());
    }
    if (style != nullptr) {
        const QString name = font_engine_ready() ? info.styleName() : QString::fromUtf8(fStyle);
        copy_name(*style, name.toUtf8().constData());
    }
}

void BFont::SetSize(float size)
{
    if (std::isfinite(size) && size > 0)
        fSize = size;
}

float BFont::Size() const
{
    return fSize;
}

void BFont::SetFace(uint16 face)
{
    fFace = face;
    // A face chosen by bits replaces the style chosen by name.
    fStyle[0] = '\0';
}

uint16 BFont::Face() const
{
    return fFace;
}

void BFont::SetFlags(uint32 flags)
{
    fFlags = flags;
}

uint32 BFont::Flags() const
{
    return fFlags;
}

float BFont::StringWidth(const char* string) const
{
    return string == nullptr ? 0.0f : StringWidth(string, int32(std::strlen(string)));
}

float BFont::StringWidth(const char* string, int32 length) const
{
    if (string == nullptr || length <= 0 || !font_engine_ready())
        return 0.0f;
    QFontMetricsF metrics(FontAccess::QtFont(*this));
    return float(metrics.horizontalAdvance(QString::fromUtf8(string, length)));
}

void BFont::GetHeight(font_height* height) const
{
    if (height == nullptr)
        return;
    *height = font_height{0, 0, 0};
    if (!font_engine_ready())
        return;
    QFontMetricsF metrics(FontAccess::QtFont(*this));
    height->ascent = float(metrics.ascent());
    height->descent = float(metrics.descent());
    height->leading = float(metrics.leading());
}

bool BFont::operator==(const BFont& font) const
{
    return std::strcmp(fFamily, font.fFamily) == 0 && std::strcmp(fStyle, font.fStyle) == 0 &&
           fSize == font.fSize && fFace == font.fFace && fFlags == font.fFlags;
}

bool BFont::operator!=(const BFont& font) const
{
    return !(*this == font);
}

int32 count_font_families()
{
    return font_engine_ready() ? int32(QFontDatabase::families().size()) : 0;
}

status_t get_font_family(int32 index, font_family* name, uint32* flags)
{
    if (name == nullptr || !font_engine_ready())
        return B_BAD_VALUE;
    const QStringList families = QFontDatabase::families();
    if (index < 0 || index >= families.size())
        return B_BAD_VALUE;
    copy_name(*name, families[index].toUtf8().constData());
    if (flags != nullptr)
        *flags = 0;
    return B_OK;
}
