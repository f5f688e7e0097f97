#include "fax/fax_image_source.h"

#include "fax/apf_file.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

int TImageSource::Open(const std::string& fileName)
{
    Close();
    File_.reset(std::fopen(fileName.c_str(), "rb"));
    if (!File_)
        return FileErrorCode(errno);
    struct stat st {};
    if (fstat(fileno(File_.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        return AdErr::ecBadGraphicsFormat;
    }
    Size_ = static_cast<uint64_t>(st.st_size);
    return 0;
}

void TImageSource::Close()
{
    File_.reset();
    Size_ = 0;
    RangePos_ = RangeEnd_ = 0;
    BufPos_ = BufLen_ = 0;
}

bool TImageSource::ReadAt(uint64_t offset, void* bytes, std::size_t count)
{
    if (!File_ || offset > Size_ || count > Size_ - offset)
        return false;
    if (fseeko(File_.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    return std::fread(bytes, 1, count, File_.get()) == count;
}

void TImageSource::StartRange(uint64_t begin, uint64_t end)
{
    RangeEnd_ = std::min(end, Size_);
    RangePos_ = std::min(begin, RangeEnd_);
    BufPos_ = BufLen_ = 0;
}

bool TImageSource::Fill()
{
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(Buf_.size(), RangeEnd_ - RangePos_));
    if (n == 0 || !ReadAt(RangePos_, Buf_.data(), n))
        return false;
    RangePos_ += n;
    BufPos_ = 0;
    BufLen_ = n;
    return true;
}

std::size_t TImageSource::Take(uint8_t* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        if (BufPos_ == BufLen_ && !Fill())
            break;
        const std::size_t n = std::min(count - done, BufLen_ - BufPos_);
        std::memcpy(bytes + done, Buf_.data() + BufPos_, n);
        BufPos_ += n;
        done += n;
    }
    return done;
}
