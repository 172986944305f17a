// SPDX-License-Identifier: MIT
#include "transmission.h"

#include "request_line.h"

namespace tivaxemu {

namespace {

const int kSplitPieces = 3;

// Bytes the library's line discipline passes untouched: printable ASCII and
// everything from 0x80 up, never "|" nor a line end.
std::string garbage(Xorshift& random) {
  const std::size_t length = 64 + random.next() % 448;
  std::string bytes;
  bytes.reserve(length + 1);
  while (bytes.size() < length) {
    const unsigned char c = static_cast<unsigned char>(0x20 + random.next() % 0xe0);
    if (c != '|' && c != 0x7f) bytes += static_cast<char>(c);
  }
  return bytes;
}

// The answer with its first field replaced by another session number.
std::string forOtherSession(const std::string& answer, std::int32_t session) {
  const std::size_t bar = answer.find('|');
  return formatSession(std::int64_t{session} + 1) +
         (bar == std::string::npos ? std::string() : answer.substr(bar));
}

// Pads the line with one more field, so that it is `size` bytes long.
void padAsLastField(std::string& line, std::size_t size) {
  if (line.size() + 1 >= size) return;
  line += '|';
  line.append(size - line.size(), 'A');
}

}  // namespace

std::uint32_t Xorshift::next() {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

std::vector<Piece> shapeAnswer(const std::string& request, const std::string& answer,
                               std::int32_t session, Faults faults, const Options& options,
                               Xorshift& random) {
  if (faults & kSilence) return {};
  const std::string end = (faults & kCrLf) ? "\r\n" : "\n";
  if (faults & kEchoThenSilence) return {Piece{std::chrono::milliseconds(0), request + end, false}};

  std::string body = answer;
  if (faults & kGarbage) body = garbage(random);
  if (faults & kOtherSession) body = forOtherSession(body, session);
  if (faults & kOversize) padAsLastField(body, options.oversizeBytes - end.size());
  if (faults & kEchoLarge) padAsLastField(body, options.largeBytes - end.size());

  // Echo and answer leave in one write, as a device sends them back to back.
  std::string text = (faults & (kEcho | kEchoLarge)) ? request + end : std::string();
  text += body + end;

  std::vector<Piece> pieces;
  if (faults & kHangUp) {
    // Half the answer, then, after a pause in which the library reads it,
    // the hang-up.
    pieces.push_back(Piece{std::chrono::milliseconds(0), text.substr(0, text.size() / 2), false});
    pieces.push_back(Piece{options.splitPause, std::string(), true});
  } else if (faults & kSplit) {
    const std::size_t step = (text.size() + kSplitPieces - 1) / kSplitPieces;
    for (std::size_t at = 0; at < text.size(); at += step)
      pieces.push_back(Piece{at == 0 ? std::chrono::milliseconds(0) : options.splitPause,
                             text.substr(at, step), false});
  } else {
    pieces.push_back(Piece{std::chrono::milliseconds(0), text, false});
  }
  if (faults & (kBlankLine | kBlankCrLf)) {
    pieces.front().after += options.splitPause;
    const char* blank = (faults & kBlankCrLf) ? "\r\n" : "\n";
    pieces.insert(pieces.begin(), Piece{std::chrono::milliseconds(0), blank, false});
  }
  if (faults & kDelay) pieces.front().after += options.answerDelay;
  return pieces;
}

}  // namespace tivaxemu
