#include "model/write.hpp"

#include "json/writer.hpp"
#include "model/emit.hpp"

namespace tavrik::model {

std::string write_document(const Workout& workout, std::size_t capacity, std::string buffer) {
    json::Writer writer(capacity, std::move(buffer));
    emit(writer, workout);
    return writer.take();
}

}  // namespace tavrik::model
