#include "scan/RowTable.h"

#include <algorithm>
#include <new>

std::u16string_view RowTable::Name(std::size_t row) const {
  return std::u16string_view(names.data() + rows[row].nameStart, rows[row].nameLength);
}

std::vector<std::uint32_t> RowTable::OverwrittenBy(std::size_t row) const {
  std::vector<std::uint32_t> records;
  auto at = std::lower_bound(overwriters.begin(), overwriters.end(), std::make_pair(static_cast<std::uint32_t>(row), 0u));
  for (; at != overwriters.end() && at->first == row; ++at) records.push_back(at->second);
  return records;
}

void RowTable::Reserve(std::size_t count) {
  try {
    rows.reserve(count);
    names.reserve(count * 24);  // units: most names are shorter
  } catch (const std::bad_alloc&) {
    // The table grows as it must instead.
  }
}

bool RowTable::AddPath(const std::u16string& path, std::uint32_t* id) {
  try {
    paths.push_back(path);
  } catch (const std::bad_alloc&) {
    return false;
  }
  *id = static_cast<std::uint32_t>(paths.size() - 1);
  return true;
}

bool RowTable::AddRow(const RecordIdentity& identity, std::uint32_t path, std::u16string_view name,
                      std::uint64_t size, std::uint64_t created, std::uint64_t modified) {
  const std::size_t length = std::min<std::size_t>(name.size(), UINT16_MAX);
  const std::size_t start = names.size();
  try {
    names.insert(names.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
    rows.push_back(Row{size, created, modified, identity.logSequenceNumber, identity.record, path,
                       static_cast<std::uint32_t>(start), static_cast<std::uint16_t>(length), identity.sequence,
                       FileState{}, false});
  } catch (const std::bad_alloc&) {
    names.resize(start);
    return false;
  }
  return true;
}

bool RowTable::SetState(std::size_t row, FileState state, const std::vector<std::uint32_t>& overwrittenBy) {
  rows[row].state = state;
  try {
    for (std::uint32_t record : overwrittenBy) {
      const auto entry = std::make_pair(static_cast<std::uint32_t>(row), record);
      overwriters.insert(std::upper_bound(overwriters.begin(), overwriters.end(), entry), entry);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool RowTable::AppendFrom(const RowTable& source, std::size_t firstRow) {
  const std::size_t rowsBefore = rows.size(), namesBefore = names.size(), pathsBefore = paths.size();
  try {
    for (std::size_t i = paths.size(); i < source.paths.size(); ++i) paths.push_back(source.paths[i]);
    for (std::size_t i = firstRow; i < source.rows.size(); ++i) {
      Row row = source.rows[i];
      const std::u16string_view name = source.Name(i);
      row.nameStart = static_cast<std::uint32_t>(names.size());
      names.insert(names.end(), name.begin(), name.end());
      rows.push_back(row);
    }
  } catch (const std::bad_alloc&) {
    rows.resize(rowsBefore);
    names.resize(namesBefore);
    paths.resize(pathsBefore);
    return false;
  }
  return true;
}

bool RowTable::CopyStates(const RowTable& source) {
  for (std::size_t i = 0; i < rows.size() && i < source.rows.size(); ++i) rows[i].state = source.rows[i].state;
  try {
    overwriters = source.overwriters;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void RowTable::Clear() {
  rows.clear();
  names.clear();
  paths.clear();
  overwriters.clear();
}
