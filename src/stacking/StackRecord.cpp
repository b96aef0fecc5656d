#include "stacking/StackRecord.h"

namespace {

const char* const kKindKey = "STACKTYP";
const char* const kDateKey = "DATE-OBS";

}  // namespace

void addToRecord(StackRecord& record, const FrameHeader& header, bool firstFrame)
{
    if (firstFrame) {
        record.totalExposure = header.exposure;
        record.texts = header.texts;
        return;
    }
    if (header.exposure)
        record.totalExposure = record.totalExposure.value_or(0.0) + *header.exposure;
    for (auto text = record.texts.begin(); text != record.texts.end();) {
        const auto own = header.texts.find(text->first);
        const bool holds = text->first == kDateKey || (own != header.texts.end() && own->second == text->second);
        text = holds ? std::next(text) : record.texts.erase(text);
    }
}

FitsKeywords stackKeywords(const StackRecord& record, int frameCount)
{
    FitsKeywords keywords;
    keywords.texts = record.texts;
    keywords.texts[kKindKey] = kindName(record.linear);
    keywords.numbers["NCOMBINE"] = frameCount;
    if (record.totalExposure)
        keywords.numbers["EXPTIME"] = *record.totalExposure;
    return keywords;
}

StackRecord stackRecordOf(const FitsKeywords& keywords)
{
    StackRecord record;
    const auto kind = keywords.texts.find(kKindKey);
    record.linear = kind != keywords.texts.end() && kind->second == kindName(true);
    const auto exposure = keywords.numbers.find("EXPTIME");
    if (exposure != keywords.numbers.end())
        record.totalExposure = exposure->second;
    for (const char* key : kKeptHeaderTexts) {
        const auto text = keywords.texts.find(key);
        if (text != keywords.texts.end())
            record.texts[key] = text->second;
    }
    return record;
}
