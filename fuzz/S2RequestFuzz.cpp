// The outside data the bundled inference server reads: its model file, the parts of a
// generate request (text, params, profile name, reference audio in any format, transcript)
// and its command line. The first byte picks which; the rest is split into fields at "\n--\n".
#include <cstdint>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Gguf.h"
#include "SpeechPlan.h"
#include "VoiceBook.h"

namespace {

std::vector<std::string> Fields(const std::string& AData, size_t ACount) {
  std::vector<std::string> Out;
  size_t Start = 0;
  while (Out.size() + 1 < ACount) {
    const size_t At = AData.find("\n--\n", Start);
    if (At == std::string::npos) break;
    Out.push_back(AData.substr(Start, At - Start));
    Start = At + 4;
  }
  Out.push_back(AData.substr(Start));
  Out.resize(ACount);
  return Out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  using namespace quavox::s2;
  if (ASize == 0) return 0;
  const uint8_t Mode = AData[0];
  const std::string Rest(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
  switch (Mode % 3) {
    case 0: {
      TGgufFile File;
      TVoiceBook Book;
      std::string Error;
      if (TGgufFile::Parse(std::vector<uint8_t>(Rest.begin(), Rest.end()), File) == grOk &&
          TVoiceBook::FromGguf(File, Book, Error)) {
        // A book that loads must survive being written and read again unchanged.
        TGgufFile Again;
        TVoiceBook Back;
        if (TGgufFile::Parse(Book.ToGguf().Serialize(), Again) != grOk ||
            !TVoiceBook::FromGguf(Again, Back, Error) ||
            Back.Variants.size() != Book.Variants.size() ||
            Back.FliteVoices.size() != Book.FliteVoices.size())
          __builtin_trap();
      }
      break;
    }
    case 1: {
      static const TVoiceBook Book = StandardVoiceBook();
      const std::vector<std::string> f = Fields(Rest, 5);
      TGenerateParts Parts;
      Parts.HasText = (Mode & 0x08) == 0;
      Parts.Text = f[0];
      Parts.HasParams = (Mode & 0x10) == 0;
      Parts.Params = f[1];
      Parts.HasVoice = (Mode & 0x20) != 0;
      Parts.Voice = f[2];
      Parts.HasReference = (Mode & 0x40) == 0;
      Parts.Reference = f[3];
      Parts.ReferenceFileName = (Mode & 0x80) != 0 ? "reference.mp3" : "reference.wav";
      Parts.ReferenceText = f[4];
      TSpeechPlan Plan;
      TRequestError Error;
      if (PlanSpeech(Book, Parts, Plan, Error)) {
        if (Plan.Pitch < 0 || Plan.Pitch > 99 || Plan.Rate < 80 || Plan.Rate > 450 ||
            Plan.Voice.empty())
          __builtin_trap();
      } else if (Error.Status < 400 || Error.Status > 499 ||
                 Error.Message.find('\n') != std::string::npos) {
        __builtin_trap();
      }
      break;
    }
    default: {
      std::vector<std::string> Args;
      size_t Start = 0;
      for (size_t i = 0; i <= Rest.size(); ++i) {
        if (i == Rest.size() || Rest[i] == '\0') {
          Args.push_back(Rest.substr(Start, i - Start));
          Start = i + 1;
        }
      }
      TS2Options Options;
      std::string Error;
      ParseCommandLine(Args, Options, Error);
      break;
    }
  }
  return 0;
}
