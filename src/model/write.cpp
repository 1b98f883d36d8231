#include "model/write.hpp"

#include "json/writer.hpp"
#include "model/emit.hpp"

namespace tavrik::model {

std::string write_document(const Workout& workout) {
    json::Writer writer;
    emit(writer, workout);
    return writer.take();
}

}  // namespace tavrik::model
