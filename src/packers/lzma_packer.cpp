#include "packers/lzma_packer.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "bytes/byte_view.h"
#include "exceptions/exceptions.h"
#include "files/file_mapping.h"
#include "sfx/error_codes.h"

namespace kro::packers {

using kro::exceptions::error;

namespace {

constexpr uint8_t max_properties = (4 * 5 + 4) * 9 + 8;  // pb 4, lp 4, lc 8
constexpr uint64_t unknown_size_bit = uint64_t{1} << 63;
constexpr size_t encoder_read_size = 1u << 20;

int32_t codec_code(lzma_ret ret) noexcept {
  switch (ret) {
    case LZMA_DATA_ERROR:
    case LZMA_BUF_ERROR:
    case LZMA_FORMAT_ERROR:
      return codec_data_error;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
      return codec_memory_error;
    case LZMA_OPTIONS_ERROR:
    case LZMA_UNSUPPORTED_CHECK:
      return codec_unsupported;
    default:
      return codec_internal_error;
  }
}

void require(bool present) {
  if (!present) throw error(kro::codes::invalid_argument, "Missing argument!");
}

void require_path(const std::wstring& path) { require(!path.empty()); }

void require_handle(files::native_handle handle) { require(detail::valid(handle)); }

// Runs work with a file created at path; deletes the file again when work
// throws.
template <class Work>
void with_new_file(const std::wstring& path, Work&& work) {
  files::unique_file file = detail::create_output(path);
  try {
    work(file.get());
  } catch (...) {
    file.reset();
    detail::delete_file(path);
    throw;
  }
}

}  // namespace

// The codec's streams, kept between calls: liblzma reuses a coder's tables and
// its dictionary when the next stream is initialised with the same sizes.
struct lzma_packer::codec {
  lzma_stream decoder = LZMA_STREAM_INIT;
  lzma_stream encoder = LZMA_STREAM_INIT;
  bool encoder_created = false;
  std::vector<uint8_t> buffer;  // transfer buffer between codec and file

  ~codec() {
    lzma_end(&decoder);
    lzma_end(&encoder);
  }

  uint8_t* transfer_buffer(size_t size) {
    if (buffer.size() < size) {
      try {
        std::vector<uint8_t>().swap(buffer);
        buffer.resize(size);
      } catch (const std::bad_alloc&) {
        throw error(codec_memory_error, "Unable to allocate LZMA context!");
      }
    }
    return buffer.data();
  }
};

// Where bytes come from for the encoder: memory or a file read piece by piece.
struct lzma_packer::source {
  const uint8_t* data = nullptr;
  size_t size = 0;
  files::native_handle file = files::unique_file::invalid();
  uint64_t file_bytes = 0;
};

// Where bytes go: a file, a vector, or both.
struct lzma_packer::sink {
  files::native_handle file = files::unique_file::invalid();
  std::vector<uint8_t>* vector = nullptr;

  bool has_file() const noexcept { return detail::valid(file); }

  void put(const uint8_t* data, size_t size, const char* message) {
    if (size == 0) return;
    if (has_file()) detail::write_all(file, data, size, message);
    if (vector != nullptr) {
      try {
        vector->insert(vector->end(), data, data + size);
      } catch (const std::bad_alloc&) {
        throw error(codec_memory_error, "Not enough memory for %llu bytes of output!",
                    static_cast<unsigned long long>(vector->size() + size));
      }
    }
  }
};

lzma_packer::lzma_packer() : m_codec(new codec) {}

lzma_packer::~lzma_packer() { delete m_codec; }

uint32_t lzma_packer::dictionary_buffer_size(uint32_t header_dictionary) noexcept {
  const uint32_t size = std::max(header_dictionary, lzma_min_dictionary);
  uint32_t step;
  if (size < (4u << 20)) {
    step = 4u << 10;
  } else if (size < (1u << 30)) {
    step = 1u << 20;
  } else {
    step = 4u << 20;
  }
  const uint32_t rest = size % step;
  if (rest == 0 || size > UINT32_MAX - (step - rest)) return size;
  return size + (step - rest);
}

uint32_t lzma_packer::encoder_dictionary_size(uint64_t size, uint32_t dictionary) noexcept {
  if (size >= dictionary) return dictionary;
  for (unsigned i = 11; i <= 30; ++i) {
    if (size <= (uint64_t{2} << i)) return std::min(dictionary, 2u << i);
    if (size <= (uint64_t{3} << i)) return std::min(dictionary, 3u << i);
  }
  return dictionary;
}

// --- decoding ----------------------------------------------------------------

void lzma_packer::decode(const bytes::view& input, sink& out) {
  if (input.size() < lzma_header_size) throw error(kro::codes::invalid_data, "Unable to read LZMA header!");
  uint8_t data[lzma_header_size];
  std::memcpy(data, input.read(0, lzma_header_size).data(), lzma_header_size);

  const uint8_t properties = data[0];
  if (properties > max_properties) throw error(codec_unsupported, "Unable to allocate LZMA context!");
  const uint64_t unpacked_size = bytes::load_le<uint64_t>(data + 5);
  const bool size_known = (unpacked_size & unknown_size_bit) == 0;
  if (size_known && unpacked_size > m_output_limit) {
    throw error(codec_memory_error, "The unpacked data exceed the limit of %llu bytes!",
                static_cast<unsigned long long>(m_output_limit));
  }

  // The stream is decoded as one whose size is unknown: the codec then stops
  // only at an end marker, and the announced size is enforced here by never
  // asking for more output than is still due. So an end marker before the
  // announced size ends the file, and nothing behind the last byte due is read.
  lzma_options_lzma options{};
  options.dict_size = dictionary_buffer_size(bytes::load_le<uint32_t>(data + 1));
  options.lc = properties % 9;
  options.lp = (properties / 9) % 5;
  options.pb = properties / 45;
  // The codec decodes at most four literal context and position bits together;
  // every encoder of this format stays within that (lc 3, lp 0 by default).
  if (options.lc + options.lp > LZMA_LCLP_MAX)
    throw error(codec_unsupported, "Unable to allocate LZMA context!");
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream& strm = m_codec->decoder;
  const lzma_ret init = lzma_raw_decoder(&strm, filters);
  if (init != LZMA_OK) throw error(codec_code(init), "Unable to allocate LZMA context!");

  uint64_t remaining = unpacked_size;
  // Preallocation trusts the announced size: only for verified input. With a
  // limit (untrusted input) the output grows as it is decoded.
  if (size_known && out.has_file() && !m_limited) detail::set_file_size(out.file, unpacked_size);
  const uint64_t reserve =
      m_limited ? std::min<uint64_t>(unpacked_size, transfer_buffer_size) : unpacked_size;
  if (size_known && out.vector != nullptr && reserve < 0x7FFFFFFF) {
    try {
      out.vector->reserve(out.vector->size() + static_cast<size_t>(reserve));
    } catch (const std::exception&) {
      // Only a hint: the vector then grows piece by piece.
    }
  }

  const size_t piece_size = size_known
                                ? static_cast<size_t>(std::min<uint64_t>(unpacked_size, transfer_buffer_size))
                                : transfer_buffer_size;
  uint8_t* const buffer = m_codec->transfer_buffer(std::max<size_t>(piece_size, 1));
  // The input is handed to the codec piece by piece, as the view gives it.
  uint64_t consumed = lzma_header_size;
  strm.next_in = nullptr;
  strm.avail_in = 0;
  uint64_t written = 0;
  while (true) {
    if (strm.avail_in == 0 && consumed < input.size()) {
      const uint64_t left = input.size() - consumed;
      const std::span<const uint8_t> piece =
          input.read(consumed, static_cast<size_t>(std::min<uint64_t>(left, input.piece_limit())));
      strm.next_in = piece.data();
      strm.avail_in = piece.size();
      consumed += piece.size();
    }
    if (size_known && remaining == 0) return;
    const size_t want =
        size_known ? static_cast<size_t>(std::min<uint64_t>(remaining, piece_size)) : piece_size;
    strm.next_out = buffer;
    strm.avail_out = want;
    const lzma_ret ret = lzma_code(&strm, LZMA_RUN);
    const size_t produced = want - strm.avail_out;
    if (ret != LZMA_OK && ret != LZMA_STREAM_END && ret != LZMA_BUF_ERROR) {
      throw error(codec_code(ret), "Unable to decompress LZMA stream!");
    }
    if (produced > m_output_limit - written) {
      throw error(codec_memory_error, "The unpacked data exceed the limit of %llu bytes!",
                  static_cast<unsigned long long>(m_output_limit));
    }
    out.put(buffer, produced, "Unable to write uncompressed data to the disk!");
    written += produced;
    remaining -= produced;
    if (ret == LZMA_STREAM_END) {
      if (size_known && out.has_file() && !m_limited && written != unpacked_size)
        detail::set_file_size(out.file, written);
      return;
    }
    if (size_known && remaining == 0) return;
    // The codec fills the output unless it ran out of input; an output piece
    // that is not full (or no progress at all) means the input has ended.
    if (ret == LZMA_BUF_ERROR || (strm.avail_in == 0 && consumed == input.size() && produced < want)) {
      throw error(codec_data_error, "The LZMA stream has ended prematurely!");
    }
  }
}

void lzma_packer::unpack(const std::wstring& input_path, const std::wstring& output_path) {
  require_path(input_path);
  require_path(output_path);
  files::unique_file input = detail::open_input(input_path);
  with_new_file(output_path, [&](files::native_handle output) { unpack(input.get(), output); });
}

void lzma_packer::unpack(files::native_handle input, files::native_handle output) {
  require_handle(input);
  require_handle(output);
  files::file_mapping mapping;
  mapping.open(input, false, true);
  unpack(mapping.view(), mapping.view_size(), output);
}

void lzma_packer::unpack(const uint8_t* data, size_t size, const std::wstring& output_path) {
  require(data != nullptr);
  require_path(output_path);
  with_new_file(output_path, [&](files::native_handle output) { unpack(data, size, output); });
}

void lzma_packer::unpack(const uint8_t* data, size_t size, files::native_handle output) {
  require(data != nullptr);
  require_handle(output);
  sink out;
  out.file = output;
  decode(bytes::view(data, size), out);
}

std::vector<uint8_t> lzma_packer::unpack(const uint8_t* data, size_t size) {
  require(data != nullptr);
  return unpack(bytes::view(data, size));
}

std::vector<uint8_t> lzma_packer::unpack(const bytes::view& input) {
  std::vector<uint8_t> result;
  sink out;
  out.vector = &result;
  decode(input, out);
  return result;
}

void lzma_packer::unpack_stream() {
  throw error(kro::codes::not_implemented, "The operation is not implemented!");
}

// --- encoding ----------------------------------------------------------------

void lzma_packer::encode(source& in, sink& out) {
  const uint64_t input_size = detail::valid(in.file) ? in.file_bytes : in.size;

  lzma_options_lzma options{};
  if (lzma_lzma_preset(&options, m_level)) {
    throw error(codec_unsupported, "Unable to store LZMA props into the encoder!");
  }
  options.dict_size = encoder_dictionary_size(input_size, m_dictionary_size);
  // No end marker: the header carries the size. (The expected size acts
  // through the dictionary reduction above; the encoder itself needs no size.)
  options.ext_flags = 0;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  // liblzma creates the coder on the first initialisation and reuses it (and
  // its match finder when the sizes agree) on the next ones.
  lzma_stream& strm = m_codec->encoder;
  const lzma_ret init = lzma_raw_encoder(&strm, filters);
  if (init != LZMA_OK) {
    throw error(codec_code(init), m_codec->encoder_created ? "Unable to store LZMA props into the encoder!"
                                                           : "Unable to create the LZMA encoder!");
  }
  m_codec->encoder_created = true;

  uint8_t header[lzma_header_size];
  const lzma_ret props = lzma_properties_encode(&filters[0], header);
  if (props != LZMA_OK) throw error(codec_code(props), "Unable to write LZMA properties!");
  bytes::store_le<uint64_t>(header + 5, input_size);
  out.put(header, sizeof header, "Unable to write to the output file!");

  uint8_t* const buffer = m_codec->transfer_buffer(transfer_buffer_size);
  std::vector<uint8_t> read_buffer;
  uint64_t left_to_read = input_size;
  if (detail::valid(in.file)) {
    read_buffer.resize(static_cast<size_t>(std::min<uint64_t>(input_size, encoder_read_size)));
    strm.avail_in = 0;
  } else {
    strm.next_in = in.data;
    strm.avail_in = in.size;
    left_to_read = 0;
  }
  while (true) {
    if (strm.avail_in == 0 && left_to_read != 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left_to_read, read_buffer.size()));
      const size_t got = detail::read_some(in.file, read_buffer.data(), want);
      if (got == 0) throw error(kro::codes::invalid_data, "Unable to read the input file!");
      left_to_read -= got;
      strm.next_in = read_buffer.data();
      strm.avail_in = got;
    }
    strm.next_out = buffer;
    strm.avail_out = transfer_buffer_size;
    const lzma_ret ret = lzma_code(&strm, left_to_read == 0 ? LZMA_FINISH : LZMA_RUN);
    if (ret != LZMA_OK && ret != LZMA_STREAM_END)
      throw error(codec_code(ret), "Unable to compress LZMA stream!");
    out.put(buffer, transfer_buffer_size - strm.avail_out, "Unable to write to the output file!");
    if (ret == LZMA_STREAM_END) return;
  }
}

void lzma_packer::pack(const std::wstring& input_path, const std::wstring& output_path) {
  require_path(input_path);
  require_path(output_path);
  files::unique_file input = detail::open_input(input_path);
  with_new_file(output_path, [&](files::native_handle output) { pack(input.get(), output); });
}

void lzma_packer::pack(files::native_handle input, files::native_handle output) {
  require_handle(input);
  require_handle(output);
  source in;
  in.file = input;
  in.file_bytes = detail::file_size(input);
  sink out;
  out.file = output;
  encode(in, out);
}

void lzma_packer::pack(const uint8_t* data, size_t size, const std::wstring& output_path) {
  require(data != nullptr || size == 0);
  require_path(output_path);
  with_new_file(output_path, [&](files::native_handle output) { pack(data, size, output); });
}

void lzma_packer::pack(const uint8_t* data, size_t size, files::native_handle output) {
  require(data != nullptr || size == 0);
  require_handle(output);
  source in;
  in.data = data;
  in.size = size;
  sink out;
  out.file = output;
  encode(in, out);
}

std::vector<uint8_t> lzma_packer::pack(const uint8_t* data, size_t size) {
  require(data != nullptr || size == 0);
  source in;
  in.data = data;
  in.size = size;
  std::vector<uint8_t> bytes;
  sink out;
  out.vector = &bytes;
  encode(in, out);
  return bytes;
}

}  // namespace kro::packers
