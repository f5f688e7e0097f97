// The image handler below is a static Qt plugin, registered with the image
// framework when this unit is linked in.
#define QT_STATICPLUGIN

#include "fax/ad_apf_graphic.h"

#include "platform/atomic_file.h"
#include "serial/ad_except.h"

#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QtPlugin>
#include <algorithm>
#include <system_error>

namespace {

const char* const kInvalidPage = "Invalid page";
const char* const kBadFaxFormat = "Bad fax format";

// A folder for the temporary files of one load or save.
std::unique_ptr<TApfTempFolder> TempFolder()
{
    try {
        return std::make_unique<TApfTempFolder>();
    } catch (const std::system_error& e) {
        CheckException(nullptr, FileErrorCode(e.code().value()));
        throw;
    }
}

} // namespace

TApdAPFGraphic::TApdAPFGraphic()
    : Unpacker_(std::make_unique<TApdFaxUnpacker>()),
      Converter_(std::make_unique<TApdFaxConverter>())
{
    Converter_->SetOptions(coYield);
    Converter_->SetLeftMargin(0);
    Converter_->SetResolution(TFaxResolution::frHigh);
}

TApdAPFGraphic::~TApdAPFGraphic() = default;

void TApdAPFGraphic::SetCurrentPage(int value)
{
    if (value < 0 || value >= NumPages())
        throw EApdAPFGraphicError(kInvalidPage);
    CurrentPage_ = value;
}

void TApdAPFGraphic::SetPage(int index, const QImage& bitmap)
{
    if (index < 0 || index > NumPages())
        throw EApdAPFGraphicError(kInvalidPage);
    if (index == NumPages())
        Pages_.push_back(bitmap);
    else
        Pages_[static_cast<std::size_t>(index)] = bitmap;
}

void TApdAPFGraphic::LoadFromFile(const std::string& fileName)
{
    Unpacker_->SetInFileName(fileName);
    const int pages = Unpacker_->GetNumPages();
    std::vector<QImage> loaded;
    for (int p = 1; p <= pages; ++p)
        loaded.push_back(Unpacker_->UnpackPageToBitmap(static_cast<unsigned>(p)));
    Pages_ = std::move(loaded);
    CurrentPage_ = 0;
}

void TApdAPFGraphic::SaveToFile(const std::string& fileName)
{
    if (Pages_.empty()) {
        TApfWriter writer;
        int rc = writer.Create(fileName);
        if (rc == 0)
            rc = writer.Close(Converter_->StationID);
        CheckException(nullptr, rc);
        return;
    }
    const auto temp = TempFolder();
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < Pages_.size(); ++i) {
        const std::string part = temp->Path(static_cast<unsigned>(i));
        Converter_->SetWidth(Pages_[i].width() > static_cast<int>(kStandardWidth)
                                 ? TFaxWidth::fwWide
                                 : TFaxWidth::fwNormal);
        Converter_->SetOutFileName(part);
        Converter_->ConvertBitmapToFile(Pages_[i]);
        if (!awIsAnAPFFile(part))
            throw EApdAPFGraphicError(kBadFaxFormat);
        parts.push_back(part);
    }
    const int rc = ApfJoinFiles(parts, fileName);
    if (rc == AdErr::ecFaxBadFormat)
        throw EApdAPFGraphicError(kBadFaxFormat);
    CheckException(nullptr, rc);
}

void TApdAPFGraphic::LoadFromStream(QIODevice& stream)
{
    const auto temp = TempFolder();
    const std::string name = temp->Path(0);
    const QByteArray bytes = stream.readAll();
    try {
        WriteFileAtomic(
            name, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const std::system_error& e) {
        CheckException(nullptr, FileErrorCode(e.code().value()));
    }
    LoadFromFile(name);
}

void TApdAPFGraphic::SaveToStream(QIODevice& stream)
{
    const auto temp = TempFolder();
    const std::string name = temp->Path(0);
    SaveToFile(name);
    std::string bytes;
    if (!ReadWholeFile(name, bytes))
        CheckException(nullptr, AdErr::ecDeviceRead);
    if (stream.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
        static_cast<qint64>(bytes.size()))
        CheckException(nullptr, AdErr::ecDeviceWrite);
}

void TApdAPFGraphic::Draw(QPainter& canvas, const QRect& rect) const
{
    if (!Pages_.empty())
        canvas.drawImage(rect, Pages_[static_cast<std::size_t>(CurrentPage_)]);
}

void TApdAPFGraphic::Assign(const TApdAPFGraphic& source)
{
    Pages_ = source.Pages_;
    CurrentPage_ = source.CurrentPage_;
}

void TApdAPFGraphic::AssignTo(QImage& bitmap) const
{
    bitmap = Pages_.empty() ? QImage() : Pages_[static_cast<std::size_t>(CurrentPage_)];
}

int TApdAPFGraphic::GetHeight() const
{
    return Pages_.empty() ? 0 : Pages_[static_cast<std::size_t>(CurrentPage_)].height();
}

int TApdAPFGraphic::GetWidth() const
{
    return Pages_.empty() ? 0 : Pages_[static_cast<std::size_t>(CurrentPage_)].width();
}

void TApdAPFGraphic::SetHeight(int value)
{
    Resize(GetWidth(), value);
}

void TApdAPFGraphic::SetWidth(int value)
{
    Resize(value, GetHeight());
}

void TApdAPFGraphic::Resize(int width, int height)
{
    if (Pages_.empty() || width <= 0 || height <= 0)
        return;
    QImage& page = Pages_[static_cast<std::size_t>(CurrentPage_)];
    QImage resized(width, height, QImage::Format_RGB32);
    resized.fill(Qt::white);
    QPainter painter(&resized);
    painter.drawImage(0, 0, page);
    painter.end();
    page = resized.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
}

void TApdAPFGraphic::LoadFromClipboardFormat()
{
    throw EApdAPFGraphicError("Clipboard format not supported");
}

void TApdAPFGraphic::SaveToClipboardFormat()
{
    throw EApdAPFGraphicError("Clipboard format not supported");
}

// ---------------------------------------------------------------- image framework

namespace {

bool HasApfSignature(QIODevice* device)
{
    return device && device->peek(static_cast<qint64>(kApfSignature.size())) ==
                         QByteArray(reinterpret_cast<const char*>(kApfSignature.data()),
                                    static_cast<qsizetype>(kApfSignature.size()));
}

class TApfImageIOHandler : public QImageIOHandler {
public:
    bool canRead() const override
    {
        if (Loaded_)
            return Next_ < Graphic_.NumPages();
        if (!HasApfSignature(device()))
            return false;
        setFormat("apf");
        return true;
    }

    bool read(QImage* image) override
    {
        if (!Load() || Next_ >= Graphic_.NumPages())
            return false;
        *image = Graphic_.Pages()[static_cast<std::size_t>(Next_++)];
        return true;
    }

    bool write(const QImage& image) override
    {
        try {
            TApdAPFGraphic graphic;
            graphic.SetPage(0, image);
            graphic.SaveToStream(*device());
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    int imageCount() const override { return Load() ? Graphic_.NumPages() : 0; }
    bool jumpToImage(int imageNumber) override
    {
        if (!Load() || imageNumber < 0 || imageNumber >= Graphic_.NumPages())
            return false;
        Next_ = imageNumber;
        return true;
    }
    bool jumpToNextImage() override { return jumpToImage(Next_ + 1); }
    int currentImageNumber() const override { return Next_; }

private:
    // The whole file at the first use.
    bool Load() const
    {
        if (!Loaded_ && device()) {
            try {
                Graphic_.LoadFromStream(*device());
            } catch (const std::exception&) {
                return false;
            }
            Loaded_ = true;
        }
        return Loaded_;
    }

    mutable TApdAPFGraphic Graphic_;
    mutable bool Loaded_ = false;
    int Next_ = 0;
};

} // namespace

class TApfImageIOPlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "apf_image_format.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override
    {
        if (format == "apf")
            return CanRead | CanWrite;
        if (!format.isEmpty() || !device || !device->isOpen())
            return {};
        Capabilities caps;
        if (device->isReadable() && HasApfSignature(device))
            caps |= CanRead;
        if (device->isWritable())
            caps |= CanWrite;
        return caps;
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override
    {
        auto* handler = new TApfImageIOHandler;
        handler->setDevice(device);
        handler->setFormat(format);
        return handler;
    }
};

Q_IMPORT_PLUGIN(TApfImageIOPlugin)

#include "ad_apf_graphic.moc"
