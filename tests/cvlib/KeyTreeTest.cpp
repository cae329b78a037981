// GetKeyTree must give, in one read, exactly what the key-by-key calls give.
#include "StoreFixture.h"

namespace {

using cvlib::ceOK;
using cvlib::ceStoreBadKey;

class KeyTreeTest : public StoreFixture {
 protected:
  TAppReg& reg = GetAppReg();

  void Fill() {
    reg.WriteString(rrProducts, "", "RootValue", "r");
    reg.WriteString(rrProducts, "prod2\\Modules\\b", "Name", "B");
    reg.WriteString(rrProducts, "Prod1", "Name", " One ");
    reg.WriteString(rrProducts, "Prod1\\Modules\\A", "Path", "/charts/A");
    reg.WriteBool(rrProducts, "Prod1\\Modules\\A", "InternetInstall", true);
    reg.WriteFloat(rrProducts, "Prod1\\Modules\\A\\Charts\\x.qmr2", "LastUpdate", 45000.25);
    reg.WriteString(rrProducts, "Prod1\\Modules\\A\\Charts\\Y.qmr2", "LastUpdate", "44000.5");
    reg.WriteInteger(rrProducts, "Prod1\\Modules\\A\\Charts\\\u00c9clair.qmr2", "LastUpdate", 7);
    reg.WriteString(rrProducts, "Prod1\\Modules\\A\\Charts\\bad.qmr2", "LastUpdate", "not a number");
    reg.WriteString(rrProducts, "Prod10", "Count", " 12 ");
    reg.WriteBool(rrProducts, "Prod10", "flag", false);
    reg.CreateKey(rrProducts, "Prod10\\Empty");
  }

  // Walks the tree beside the store, key by key, comparing names, order, values and every
  // typed read of every value.
  void Compare(const TRegKeyTree& tree, int node, const QString& key) {
    SCOPED_TRACE(key.toStdString());
    QStringList names;
    ASSERT_EQ(reg.GetKeyNames(rrProducts, key, names), ceOK);
    ASSERT_EQ(static_cast<qsizetype>(tree.SubKeys(node).size()), names.size());
    QList<TRegValue> values;
    ASSERT_EQ(reg.GetValues(rrProducts, key, values), ceOK);
    ASSERT_EQ(tree.Values(node).size(), values.size());
    for (qsizetype i = 0; i < values.size(); ++i) {
      const QString& name = values[i].name;
      EXPECT_EQ(tree.Values(node)[i].name, name);
      EXPECT_EQ(tree.ReadString(node, name.toUpper(), "d"), reg.ReadString(rrProducts, key, name, "d"));
      EXPECT_EQ(tree.ReadInteger(node, name, -9), reg.ReadInteger(rrProducts, key, name, -9));
      EXPECT_EQ(tree.ReadFloat(node, name, -9.5), reg.ReadFloat(rrProducts, key, name, -9.5));
      EXPECT_EQ(tree.ReadBool(node, name, true), reg.ReadBool(rrProducts, key, name, true));
      EXPECT_EQ(tree.ReadBool(node, name, false), reg.ReadBool(rrProducts, key, name, false));
    }
    EXPECT_EQ(tree.FindValue(node, "missing"), nullptr);
    EXPECT_EQ(tree.ReadFloat(node, "missing", -1.0), -1.0);
    for (qsizetype i = 0; i < names.size(); ++i) {
      const int sub = tree.SubKeys(node)[static_cast<size_t>(i)];
      EXPECT_EQ(tree.KeyName(sub), names[i]);
      EXPECT_EQ(tree.FindKey(node, names[i].toLower()), sub);
      Compare(tree, sub, key.isEmpty() ? names[i] : key + "\\" + names[i]);
    }
  }
};

TEST_F(KeyTreeTest, WholeStoreAndSubTreeReadLikeKeyByKey) {
  Fill();
  TRegKeyTree tree;
  ASSERT_EQ(reg.GetKeyTree(rrProducts, "", tree), ceOK);
  ASSERT_FALSE(tree.IsEmpty());
  EXPECT_EQ(tree.KeyName(0), "");
  Compare(tree, 0, "");

  TRegKeyTree sub;
  ASSERT_EQ(reg.GetKeyTree(rrProducts, "\\PROD1\\modules\\", sub), ceOK);
  EXPECT_EQ(sub.KeyName(0), "Modules");  // the stored name, not the one asked with
  Compare(sub, 0, "Prod1\\Modules");
  const int chart = sub.FindKey(0, "a\\charts\\\u00e9CLAIR.qmr2");
  ASSERT_GE(chart, 0);
  EXPECT_EQ(sub.ReadFloat(chart, "lastupdate", 0), 7.0);
  EXPECT_EQ(sub.FindKey(0, "A\\Nothing"), -1);
}

TEST_F(KeyTreeTest, MissingAndBadKeys) {
  Fill();
  TRegKeyTree tree;
  ASSERT_EQ(reg.GetKeyTree(rrProducts, "Prod1", tree), ceOK);
  EXPECT_EQ(reg.GetKeyTree(rrProducts, "Missing\\Key", tree), ceOK);
  EXPECT_TRUE(tree.IsEmpty());
  ASSERT_EQ(reg.GetKeyTree(rrProducts, "Prod1", tree), ceOK);
  EXPECT_EQ(reg.GetKeyTree(rrProducts, "A\\\\B", tree), ceStoreBadKey);
  EXPECT_TRUE(tree.IsEmpty());
  EXPECT_EQ(reg.GetKeyTree(9, "", tree), ceStoreBadKey);

  // A fresh store: the root exists and is empty.
  ASSERT_EQ(reg.GetKeyTree(rrSoftware, "", tree), ceOK);
  ASSERT_EQ(tree.Count(), 1);
  EXPECT_TRUE(tree.SubKeys(0).empty());
  EXPECT_TRUE(tree.Values(0).isEmpty());
}

TEST_F(KeyTreeTest, OneValueOfEverySubKeyReadsLikeKeyByKey) {
  Fill();
  QHash<QString, TRegValue> values;
  // Paths below the key read, folded; each value as ReadValue gives it.
  const auto expectSame = [&](const QString& key, const QString& name, QStringList paths) {
    SCOPED_TRACE((key + " / " + name).toStdString());
    QStringList got = values.keys();
    got.sort();
    paths.sort();
    EXPECT_EQ(got, paths);
    for (const QString& p : paths) {
      TRegValue one;
      ASSERT_EQ(reg.ReadValue(rrProducts, key + "\\" + p, name, one), ceOK) << p.toStdString();
      EXPECT_EQ(values[p].name, one.name);
      EXPECT_EQ(values[p].type, one.type);
      EXPECT_EQ(values[p].value, one.value);
    }
  };
  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "", "NAME", values), ceOK);
  expectSame("", "Name", {"prod1", "prod2\\modules\\b"});
  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "\\prod1\\MODULES\\", "lastupdate", values), ceOK);
  expectSame("Prod1\\Modules", "LastUpdate",
             {"a\\charts\\x.qmr2", "a\\charts\\y.qmr2", "a\\charts\\\u00e9clair.qmr2", "a\\charts\\bad.qmr2"});
  // The key's own value has the empty path.
  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "Prod1\\Modules\\A", "Path", values), ceOK);
  expectSame("Prod1\\Modules\\A", "Path", {""});
  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "", "RootValue", values), ceOK);
  ASSERT_EQ(values.size(), 1);
  EXPECT_EQ(values[""].value.toString(), "r");

  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "Prod10", "Nothing", values), ceOK);
  EXPECT_TRUE(values.isEmpty());
  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "", "Name", values), ceOK);
  EXPECT_EQ(reg.GetValueOfSubKeys(rrProducts, "Missing", "Name", values), ceOK);
  EXPECT_TRUE(values.isEmpty());
  ASSERT_EQ(reg.GetValueOfSubKeys(rrProducts, "", "Name", values), ceOK);
  EXPECT_EQ(reg.GetValueOfSubKeys(rrProducts, "A\\\\B", "Name", values), ceStoreBadKey);
  EXPECT_TRUE(values.isEmpty());
  EXPECT_EQ(reg.GetValueOfSubKeys(9, "", "Name", values), ceStoreBadKey);
}

}  // namespace
