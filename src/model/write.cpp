#include "model/write.hpp"

#include "json/writer.hpp"
#include "model/emit.hpp"

namespace tavrik::model {

std::string write_document(const Workout& workout, std::size_t capacity) {
    json::Writer writer(capacity);
    emit(writer, workout);
    return writer.take();
}

void write_document(json::Writer& writer, const Workout& workout) { emit(writer, workout); }

}  // namespace tavrik::model
