// What the head of a capabilities document says of the device.
#include "capabilities_facts.h"

#include <gtest/gtest.h>

namespace {

TEST(FactsOfCapabilities, ReadMakeModelUuidAndSources) {
  struct Row {
    const char *document, *make_and_model, *uuid, *sources;
  };
  const std::vector<Row> rows = {
      {"<scan:ScannerCapabilities><pwg:Version>2.63</pwg:Version><pwg:MakeAndModel>HP LaserJet MFP M28w"
       "</pwg:MakeAndModel><scan:UUID>564E4333-3730-3834-3730-30E4AE37BE8F</scan:UUID><scan:Platen>"
       "<scan:PlatenInputCaps/></scan:Platen><scan:Adf><scan:AdfSimplexInputCaps/></scan:Adf>",
       "HP LaserJet MFP M28w", "564e4333-3730-3834-3730-30e4ae37be8f", "platen,adf"},
      {"<scan:MakeAndModel>Canon TS5300 &amp; Co</scan:MakeAndModel><scan:UUID>urn:uuid:AB-12</scan:UUID>"
       "<scan:Platen></scan:Platen>",
       "Canon TS5300 & Co", "ab-12", "platen"},
      {"<pwg:MakeAndModel></pwg:MakeAndModel><scan:Adf></scan:Adf>", "", "", "adf"},
      // A longer name ending the same way is another element.
      {"<scan:BaseMakeAndModel>no</scan:BaseMakeAndModel><scan:MakeAndModel>yes</scan:MakeAndModel>", "yes", "",
       ""},
      {"<scan:MakeAndModel>cut off", "", "", ""},
      {"", "", "", ""},
  };
  for (const Row &r : rows) {
    const bbescl::discovery::DeviceFacts facts = bbescl::discovery::facts_of_capabilities(r.document);
    EXPECT_EQ(facts.make_and_model, r.make_and_model) << r.document;
    EXPECT_EQ(facts.uuid, r.uuid) << r.document;
    EXPECT_EQ(facts.input_sources, r.sources) << r.document;
  }
}

}  // namespace
