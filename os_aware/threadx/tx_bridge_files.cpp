// tx_bridge_files: the file services of the bridge's service table (slots 15
// to 25), over the standard library's streams.
//
// Every service answers 1 for a null stream; reads and writes also for a
// size or count of 0, line reads for a length that is not positive. The
// ThreadX logic itself reads no files through them; they are offered to the
// logic's helpers as the host's stand-ins for stdio.
#include <cstdio>

#include "os_aware/threadx/tx_bridge.h"

namespace {

int LineRead(BridgeContext*, char* buffer, int length, FILE* stream) {
  if (!stream || !buffer || length <= 0) return kStatusFailed;
  return fgets(buffer, length, stream) ? kStatusOk : kStatusFailed;
}

int Open(BridgeContext*, const char* path, const char* mode, FILE** stream) {
  if (!path || !mode || !stream) return kStatusFailed;
  *stream = fopen(path, mode);
  return *stream ? kStatusOk : kStatusFailed;
}

int Close(BridgeContext*, FILE* stream) {
  if (!stream) return kStatusFailed;
  return fclose(stream) == 0 ? kStatusOk : kStatusFailed;
}

int Rewind(BridgeContext*, FILE* stream) {
  if (!stream) return kStatusFailed;
  rewind(stream);
  return kStatusOk;
}

int ClearError(BridgeContext*, FILE* stream) {
  if (!stream) return kStatusFailed;
  clearerr(stream);
  return kStatusOk;
}

int Read(BridgeContext*, void* buffer, size_t size, size_t count, FILE* stream, size_t* done) {
  if (!stream || !buffer || size == 0 || count == 0) return kStatusFailed;
  size_t got = fread(buffer, size, count, stream);
  if (done) *done = got;
  return got == count ? kStatusOk : kStatusFailed;
}

int Write(BridgeContext*, const void* buffer, size_t size, size_t count, FILE* stream, size_t* done) {
  if (!stream || !buffer || size == 0 || count == 0) return kStatusFailed;
  size_t put = fwrite(buffer, size, count, stream);
  if (done) *done = put;
  return put == count ? kStatusOk : kStatusFailed;
}

int Eof(BridgeContext*, FILE* stream, int* atEnd) {
  if (!stream || !atEnd) return kStatusFailed;
  *atEnd = feof(stream) != 0;
  return kStatusOk;
}

int Error(BridgeContext*, FILE* stream, int* failed) {
  if (!stream || !failed) return kStatusFailed;
  *failed = ferror(stream) != 0;
  return kStatusOk;
}

int Seek(BridgeContext*, FILE* stream, int64_t offset, int whence) {
  if (!stream) return kStatusFailed;
  // long is 32 bits on some hosts: refuse what it cannot carry.
  if (offset != static_cast<long>(offset)) return kStatusFailed;
  return fseek(stream, static_cast<long>(offset), whence) == 0 ? kStatusOk : kStatusFailed;
}

int Tell(BridgeContext*, FILE* stream, int64_t* position) {
  if (!stream || !position) return kStatusFailed;
  long at = ftell(stream);
  if (at < 0) return kStatusFailed;
  *position = at;
  return kStatusOk;
}

}  // namespace

void BridgeFillFileServices(BridgeServiceTable* table) {
  table->fileLineRead = LineRead;
  table->fileOpen = Open;
  table->fileClose = Close;
  table->fileRewind = Rewind;
  table->fileClearError = ClearError;
  table->fileRead = Read;
  table->fileWrite = Write;
  table->fileEof = Eof;
  table->fileError = Error;
  table->fileSeek = Seek;
  table->fileTell = Tell;
}
