// A query's rows written straight into MessagePack: an array with one map per row, column name to
// value. The bytes are those the JSON library's MessagePack writer gives for the same rows held
// as JSON (members in the byte order of their names, the last of several columns of one name
// winning, a blob as an array of byte values), without building the JSON first.
#pragma once

#include <string>

namespace zrksqlite {
class Query;
}

namespace zrk::plugin::sqlite {

// Steps the query to its end. A step that fails throws std::runtime_error.
std::string writeRowsAsMsgpack(zrksqlite::Query& query);

}  // namespace zrk::plugin::sqlite
